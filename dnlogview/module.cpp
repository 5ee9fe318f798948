// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// dnlogview.so: the log viewer module. Its one application object owns the applet that the
// exported CPlApplet entry (of the applet framework) dispatches to.

#include "dnlogview/logviewapp.h"

CLogViewerApp theApp;
