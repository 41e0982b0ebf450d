// SPDX-License-Identifier: GPL-2.0-or-later
// A thread of an engine's own that runs one job at a time when asked: started
// when the engine is built, ended when it is released. Win32 threads and
// events in the DLL (XP's API only), standard threads natively.
#pragma once

struct Worker;

// Starts a thread that runs job(arg) once for each PostJob; null when the
// thread, its events or its memory cannot be had.
Worker* StartWorker(void (*job)(void* arg), void* arg);

// Hands the worker its next job; only after the previous one was waited
// for. The worker takes the priority of the thread that posts, so that it
// follows the host's audio thread whichever thread built the engine.
void PostJob(Worker* w);

// Waits for the job posted last; true when it was not done yet.
bool WaitForJob(Worker* w);

// Lets the job in hand finish, ends the thread and waits on it, then frees
// the worker. Null does nothing. Never from DllMain: the thread could not end.
void StopWorker(Worker* w);
