// SPDX-License-Identifier: GPL-2.0-or-later
// Ticker on std::thread, for the native build that the tests use.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/irtool/ticker.h"

struct Ticker::State {
  std::mutex output;  // held by each tick and by Locked
  std::mutex pace;    // guards stop
  std::condition_variable woken;
  bool stop = false;
  std::thread thread;
};

Ticker::Ticker() : state_(new State) {}

Ticker::~Ticker() { Stop(); }

bool Ticker::Start(double seconds, std::function<void()> tick) {
  Stop();
  state_->stop = false;
  State* s = state_.get();
  s->thread = std::thread([s, seconds, tick] {
    const auto period = std::chrono::duration<double>(seconds);
    std::unique_lock<std::mutex> paced(s->pace);
    while (!s->woken.wait_for(paced, period, [s] { return s->stop; })) {
      std::lock_guard<std::mutex> hold(s->output);
      tick();
    }
  });
  return true;
}

void Ticker::Stop() {
  if (!state_->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> paced(state_->pace);
    state_->stop = true;
  }
  state_->woken.notify_all();
  state_->thread.join();
}

void Ticker::Locked(const std::function<void()>& write) {
  std::lock_guard<std::mutex> hold(state_->output);
  write();
}
