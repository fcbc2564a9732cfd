#include "DbTestSupport.h"

#include "app/P00_util.h"

#include <cstdlib>

namespace velbrin::test {

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
