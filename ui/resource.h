// SPDX-License-Identifier: GPL-2.0-or-later
// Resource and control ids shared by the resource script and the windows.
#pragma once

#define IDD_CONTROL 131
#define IDD_ABOUT 124
#define IDB_BANNER 110
#define IDR_README 169

// Control window
#define IDC_LOAD 3
#define IDC_HELP_BUTTON 9
#define IDC_LIMIT_SLIDER 1036
#define IDC_GAIN_SLIDER 1037
#define IDC_FORCE_MONO_OUT 1084
#define IDC_FORCE_MONO_IN 1086
#define IDC_IR_NAME 1087
#define IDC_ACTIVE 1088
#define IDC_APPLY 1092
#define IDC_IR_LIMIT_EN 1098
#define IDC_GRAPH 1099
#define IDC_AUTO_GAIN 1102
#define IDC_GAIN_READOUT 1103
#define IDC_LOW_LATENCY 1104
#define IDC_RESAMPLE_IR 1105
#define IDC_MIX_SLIDER 1106
#define IDC_MIX_READOUT 1107
#define IDC_MATCH_LOUDNESS 1108
#define IDC_CONVERT 1109

// About window
#define IDC_ABOUT_OK 2
#define IDC_README 1101
