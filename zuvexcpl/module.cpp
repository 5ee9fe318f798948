// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// zuvexcpl.so: the configuration applet module. Its one application object owns the applet
// that the exported CPlApplet entry (of the applet framework) dispatches to.

#include "zuvexcpl/configapp.h"

CConfigApp theApp;
