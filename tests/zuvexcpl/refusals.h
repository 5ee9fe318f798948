// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// A registry that refuses writes, for the applet tests: SQL triggers added to the registry's
// own database under a test's root make the statements they name abort, as a full disk or a
// failing database would.

#include <QtTest>
#include <string>

#include <sqlite3.h>

namespace applettest {

// Adds the triggers (SQL text) to root's registry.db; the test fails when they do not take.
inline void AddRegistryTriggers(const std::string& root, const std::string& triggers) {
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open((root + "/registry.db").c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, triggers.c_str(), nullptr, nullptr, &error);
    const QString why = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    QVERIFY2(rc == SQLITE_OK, qPrintable(why));
}

// Makes every write of the value named name fail.
inline void RefuseValueWrites(const std::string& root, const std::string& name) {
    AddRegistryTriggers(
        root, "CREATE TRIGGER refuse_write BEFORE INSERT ON reg_values WHEN NEW.name = '" + name +
                  "' BEGIN SELECT RAISE(ABORT, 'disk refused'); END;"
                  "CREATE TRIGGER refuse_update BEFORE UPDATE ON reg_values WHEN NEW.name = '" +
                  name + "' BEGIN SELECT RAISE(ABORT, 'disk refused'); END;");
}

// Makes the statement kind on keys ("INSERT": creating, "DELETE": deleting) fail.
inline void RefuseKeyChanges(const std::string& root, const std::string& kind) {
    AddRegistryTriggers(root, "CREATE TRIGGER refuse_" + kind + " BEFORE " + kind +
                                  " ON reg_keys BEGIN SELECT RAISE(ABORT, 'disk refused'); END;");
}

}  // namespace applettest
