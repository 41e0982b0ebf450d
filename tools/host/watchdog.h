// SPDX-License-Identifier: GPL-2.0-or-later
// Ends the host when a call into the plug-in does not return in time, so
// that a hung plug-in fails a run instead of stalling it.
#pragma once

enum WatchSlot { kMainSlot, kAudioSlot, kConfigSlot, kWatchSlots };

// Starts the watching thread; 0 watches nothing.
void StartWatchdog(unsigned timeoutMs);

// `what` names the call in the report: "<what> hung ...", exit code 3.
void ArmWatchdog(WatchSlot slot, const char* what);
void DisarmWatchdog(WatchSlot slot);
