// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The configuration check of "dornelman --check" (-t): reads the registry as the service
// would at start and reports every value the service would take wrongly or could not use,
// one line each with the key, the value and what to do, then a summary line.
//
// It reads; it changes nothing. It never prints a password and never logs an account on:
// the spawn account is looked up by name, the plug-ins are loaded to look for their exports
// but never called, and the endpoint mapper's port is bound for a moment only when the
// service does not run.

#include <cstdio>

// Runs every check and writes the report to out. Returns the number of problems found.
int CheckConfiguration(std::FILE* out);
