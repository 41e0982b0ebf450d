// SPDX-License-Identifier: GPL-2.0-or-later
// A report run at a steady pace on a thread of its own, for work that tells
// nothing while it runs (FFTW's planner), with one lock for the output that
// the report and the caller share. One small layer per platform.
#pragma once

#include <functional>
#include <memory>

class Ticker {
 public:
  Ticker();
  ~Ticker();  // stops it
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

  // Calls `tick` under the lock every `seconds` until Stop. False when no
  // thread could be started: the work then goes on without reports.
  bool Start(double seconds, std::function<void()> tick);

  // Returns once no tick runs or will run; a second call does nothing.
  void Stop();

  // Runs `write` under the lock that ticks hold.
  void Locked(const std::function<void()>& write);

  struct State;  // per platform

 private:
  std::unique_ptr<State> state_;
};
