// A fresh copy of the empty database per test, opened on the embedded engine.
#pragma once

#include "store/P00_connection.h"
#include "store/P00_query.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velbrin::test {

// The empty database the build made from the schema script.
std::string TemplateDbPath();
// Points the embedded engine's lock files at a writable directory unless the
// environment already names one.
void UseTestFirebirdLock();

class DbTest : public ::testing::Test {
protected:
    DbTest();
    TempDir dir;
    std::string dbPath;
    std::unique_ptr<TFormConnection> connection;

    // A data-changing statement on its own query.
    void Exec(const std::string& sql);
    // The first column of the first row as text ("" when there is no row).
    std::string Scalar(const std::string& sql);
};

}  // namespace velbrin::test
