#include "DbTestSupport.h"

#include "app/P00_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace velbrin::test {

namespace {

// The embedded engine keeps threads of its own until it is shut down. Ending them
// after the last test leaves the process one thread when it exits, so the leak
// check that runs at exit does not stop the world while engine threads end.
class EngineShutdown : public ::testing::Environment {
public:
    void TearDown() override { TSqlConnection::ShutdownClient(); }
};

[[maybe_unused]] ::testing::Environment* const kEngineShutdown =
    ::testing::AddGlobalTestEnvironment(new EngineShutdown);

}  // namespace

std::string TemplateDbPath() { return VELBRIN_TEMPLATE_DB; }

void UseTestFirebirdLock()
{
    if (std::getenv("FIREBIRD_LOCK") == nullptr) {
        ForceDirectories(VELBRIN_TEST_FIREBIRD_LOCK);
        ::setenv("FIREBIRD_LOCK", VELBRIN_TEST_FIREBIRD_LOCK, 0);
    }
}

DbTest::DbTest() : dbPath(dir.File("Zorvex.fdb"))
{
    UseTestFirebirdLock();
    if (!CopyFileOverwrite(TemplateDbPath(), dbPath)) throw LinkError("cannot copy " + TemplateDbPath());
    connection = std::make_unique<TFormConnection>(dbPath);
}

void DbTest::Exec(const std::string& sql)
{
    TSqlQuery q(*connection);
    q.SetSQL(sql);
    q.ExecSQL();
}

std::string DbTest::Scalar(const std::string& sql)
{
    TSqlQuery q(*connection);
    q.SetSQL(sql);
    q.Open();
    return q.Eof() ? std::string() : q.AsString(0);
}

}  // namespace velbrin::test
