// SPDX-License-Identifier: GPL-2.0-or-later
// Calls made with a chosen stack alignment: the player is built by another
// compiler and enters plug-ins with esp only 4-byte aligned.
#pragma once

#include <cstdint>
#include <type_traits>

// Copies `count` 32-bit words to a fresh stack area whose address (esp at
// the call instruction) is `offset` bytes below a multiple of 16, calls fn
// and returns eax. Works for cdecl and stdcall alike: esp is restored from
// the frame, not from the callee.
extern "C" uint32_t QlvCallOnStack(const void* fn, const uint32_t* args, int count, int offset);

template <typename T>
uint32_t StackWord(T v) {
  if constexpr (std::is_pointer_v<T>) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v));
  } else {
    return static_cast<uint32_t>(v);
  }
}

// fn(args...) with esp at the call equal to 16k - offset (offset 0, 4, 8, 12).
template <typename F, typename... A>
uint32_t CallWithOffset(int offset, F* fn, A... args) {
  const uint32_t words[sizeof...(A) + 1] = {StackWord(args)...};
  return QlvCallOnStack(reinterpret_cast<const void*>(fn), words, static_cast<int>(sizeof...(A)),
                        offset);
}

// The offset a function was called with, from the address of its first
// stack argument (which is esp at the call instruction).
inline int StackOffsetOf(const void* firstArgument) {
  return static_cast<int>((0u - reinterpret_cast<uintptr_t>(firstArgument)) & 15u);
}
