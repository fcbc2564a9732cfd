// The query class on a real embedded database: named parameters, values of every
// kind the link stores, statements reused per line, and errors with the database's text.
#include "DbTestSupport.h"

#include "app/P00_datetime.h"
#include "app/P00_util.h"

namespace velbrin::test {
namespace {

TEST(PositionalSql, ColonsInsideQuotesAndCommentsAreNotParameters)
{
    struct Case {
        const char* sql;
        const char* positional;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"select * from zets where zet_id=:id", "select * from zets where zet_id=?", {"id"}},
        {"update sales set dtm_zet='2024-01-31 23:59:59' where zet_id=:zet_id",
         "update sales set dtm_zet='2024-01-31 23:59:59' where zet_id=?", {"zet_id"}},
        {"insert into t values(:a,'it''s :not',:b_2,:a)", "insert into t values(?,'it''s :not',?,?)",
         {"a", "b_2", "a"}},
        {"select \"A:B\" from t -- :c\nwhere x=:x /* :y */", "select \"A:B\" from t -- :c\nwhere x=? /* :y */",
         {"x"}},
        {"select ':' || :p from rdb$database", "select ':' || ? from rdb$database", {"p"}},
        {"select 1 from t where a = : b", "select 1 from t where a = : b", {}},
        {"select 'unclosed :x", "select 'unclosed :x", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names;
        EXPECT_EQ(ToPositionalSql(c.sql, names), c.positional) << c.sql;
        EXPECT_EQ(names, c.names) << c.sql;
    }
}

using QueryTest = DbTest;

// Writes through parameters and reads back by name: texts with quotes and
// Windows-1250 letters stay byte for byte, money keeps all four decimals.
TEST_F(QueryTest, ValuesRoundTripThroughParameters)
{
    struct Case {
        std::string artId, name;
        Money price, quantity;
    };
    const Case cases[] = {
        {"A'1\"", "Sok 'Jabuka' \"0,2l\"", Money::Parse("12.50"), Money::Parse("1")},
        {"\x8A\x9A\xE8\xC8", "\xE6\xF0\x9E \x8E\xC6 ` ' \"", Money::Parse("-0.0001"), Money::Parse("2.5")},
        {"X", "", Money::Parse("9999999999.9999"), Money::Parse("-1.234")},
        {"1:2", "name :with colon", Money{}, Money::Parse("0.001")},
    };
    TSqlQuery insert(*connection);
    int seq = 1;
    for (const Case& c : cases) {
        insert.SetSQL("insert into curr_abc( seq, art_id, tax_id, plu_naziv, cena, kolicina)  "
                      "values(:seq,:art_id,:tax_id,:plu_naziv,:cena,:kolicina)");
        insert.SetInteger("seq", seq++);
        insert.SetString("art_id", c.artId);
        insert.SetString("tax_id", "2");
        insert.SetString("plu_naziv", c.name);
        insert.SetMoney("cena", c.price);
        insert.SetMoney("kolicina", c.quantity);
        EXPECT_EQ(insert.ExecSQL(), 1u);
    }
    TSqlQuery find(*connection);
    for (const Case& c : cases) {
        find.SetSQL("select * from curr_abc where art_id=:art_id");
        find.SetString("art_id", c.artId);
        find.Open();
        ASSERT_FALSE(find.Eof()) << c.artId;
        EXPECT_EQ(find.AsString("PLU_NAZIV"), c.name);
        EXPECT_EQ(find.AsString("art_id"), c.artId);
        EXPECT_EQ(find.AsMoney("cena"), c.price);
        EXPECT_EQ(find.AsMoney("Kolicina"), c.quantity);
        find.Next();
        EXPECT_TRUE(find.Eof());
        find.Close();
    }
}

// The statement stays prepared while its text is the same; later values of
// other lengths must not be cut to the first one's layout.
TEST_F(QueryTest, ReusedStatementTakesEachNewValue)
{
    TSqlQuery q(*connection);
    const std::string names[] = {"a", "a much longer article name", "", "mid"};
    for (int i = 0; i < 4; ++i) {
        q.SetSQL("insert into arts(art_id,tax_id,plu_id,plu_naziv,cena,update_typ) "
                 "values(:art_id,'1',:plu_id,:plu_naziv,:cena,'N')");
        q.SetString("art_id", "ART" + std::to_string(i));
        q.SetString("plu_id", std::to_string(i + 2));
        if (i == 3)
            q.SetNull("cena");
        else
            q.SetMoney("cena", Money::FromUnits(i + 1));
        q.SetString("plu_naziv", names[i]);
        q.ExecSQL();
    }
    q.SetSQL("select art_id, plu_naziv, cena from arts order by art_id");
    q.Open();
    for (int i = 0; i < 4; ++i) {
        ASSERT_FALSE(q.Eof());
        EXPECT_EQ(q.AsString("art_id"), "ART" + std::to_string(i));
        EXPECT_EQ(q.AsString("plu_naziv"), names[i]);
        EXPECT_EQ(q.IsNull("cena"), i == 3);
        EXPECT_EQ(q.AsMoney("cena"), i == 3 ? Money{} : Money::FromUnits(i + 1));
        q.Next();
    }
    EXPECT_TRUE(q.Eof());
}

TEST_F(QueryTest, TransactionTimeKeepsAll23Characters)
{
    DateTime t;
    ASSERT_TRUE(DateTime::TryMake(2027, 3, 1, 9, 5, 3, 7, t));
    TSqlQuery q(*connection);
    q.SetSQL("insert into cash(zet_id,trm_id,dtm_tran,usr_id,cash_in,cash_out) "
             "values('000001','000',:dtm_tran,'XXXX',:cash_in,0)");
    q.SetString("dtm_tran", t.TranStamp());
    q.SetMoney("cash_in", Money::Parse("100.00"));
    q.ExecSQL();
    // The same stamp written as a literal: its colons are text, not parameters.
    Exec("insert into cash(zet_id,trm_id,dtm_tran,usr_id,cash_in,cash_out) "
         "values('000001','000','2027-03-01 09:05:03:007','XXXX',0,12.5)");
    EXPECT_EQ(Scalar("select count(*) from cash where dtm_tran='2027-03-01 09:05:03:007'"), "2");
    EXPECT_EQ(Scalar("select max(dtm_tran) from cash"), "2027-03-01 09:05:03:007");
    EXPECT_EQ(Scalar("select sum(cash_out) from cash"), "12.5000");
}

TEST_F(QueryTest, CardIdWithoutValueIsNullNotEmpty)
{
    TSqlQuery q(*connection);
    for (int bon = 1; bon <= 2; ++bon) {
        q.SetSQL("insert into curr_payments(zet_id,bon_id,card_id) values('000001',:bon_id,:card_id)");
        q.SetInteger("bon_id", bon);
        if (bon == 1)
            q.SetNull("card_id");
        else
            q.SetString("card_id", "");
        q.ExecSQL();
    }
    EXPECT_EQ(Scalar("select count(*) from curr_payments where card_id is null"), "1");
    EXPECT_EQ(Scalar("select bon_id from curr_payments where card_id is null"), "1");
    EXPECT_EQ(Scalar("select bon_id from curr_payments where card_id = ''"), "2");
}

TEST_F(QueryTest, NumbersReadAsTextIntegerAndMoney)
{
    struct Case {
        const char* expression;
        const char* text;
        int64_t integer;
        const char* money;
    };
    const Case cases[] = {
        {"cast(12.3456 as numeric(18,4))", "12.3456", 12, "12.3456"},
        {"cast(-0.0001 as numeric(18,4))", "-0.0001", 0, "-0.0001"},
        {"cast(-7.5 as numeric(9,1))", "-7.5", -7, "-7.5"},
        {"cast(42 as integer)", "42", 42, "42"},
        {"cast(-3 as smallint)", "-3", -3, "-3"},
        {"cast(1.23456 as numeric(18,5))", "1.23456", 1, "1.2346"},
        {"cast('0123' as varchar(10))", "0123", 123, "123"},
        {"cast(null as integer)", "", 0, "0"},
    };
    TSqlQuery q(*connection);
    for (const Case& c : cases) {
        q.SetSQL(std::string("select ") + c.expression + " v from rdb$database");
        q.Open();
        EXPECT_EQ(q.AsString("v"), c.text) << c.expression;
        EXPECT_EQ(q.AsInteger("v"), c.integer) << c.expression;
        EXPECT_EQ(q.AsMoney("v"), Money::Parse(c.money)) << c.expression;
        q.Close();
    }
}

// What an export packet needs to lay out its fields.
TEST_F(QueryTest, ColumnDescriptionsGiveTypeWidthAndScale)
{
    TSqlQuery q(*connection);
    q.SetSQL("select zet_id, end_bon_id, fp_iznos, count(*) cnt from zets group by 1,2,3");
    q.Open();
    EXPECT_TRUE(q.Eof());
    ASSERT_EQ(q.FieldCount(), 4);
    const TSqlField& text = q.Field(q.FieldIndex("zet_id"));
    EXPECT_EQ(text.kind, TSqlField::Kind::Text);
    EXPECT_EQ(text.length, 10u);
    EXPECT_EQ(text.name, "ZET_ID");
    EXPECT_EQ(q.Field(1).kind, TSqlField::Kind::Integer);
    EXPECT_EQ(q.Field(1).Precision(), 9);
    const TSqlField& money = q.Field(q.FieldIndex("FP_IZNOS"));
    EXPECT_EQ(money.kind, TSqlField::Kind::Fixed);
    EXPECT_EQ(money.scale, -4);
    EXPECT_EQ(money.Precision(), 18);
    EXPECT_EQ(q.Field(3).name, "CNT");
    EXPECT_EQ(q.Field(3).kind, TSqlField::Kind::Integer);
    EXPECT_EQ(q.FieldIndex("nope"), -1);
}

TEST_F(QueryTest, MisuseAndDatabaseFailuresRaiseWithText)
{
    struct Case {
        const char* what;
        std::function<void(TSqlQuery&)> run;
        const char* expected;
    };
    const Case cases[] = {
        {"unknown column",
         [](TSqlQuery& q) { q.SetSQL("select vle_key from vle"); q.Open(); q.AsString("vle_value"); },
         "vle_value"},
        {"unknown parameter", [](TSqlQuery& q) { q.SetSQL("select 1 from vle where vle_key=:k"); q.SetString("x", ""); },
         "'x'"},
        {"parameter without value", [](TSqlQuery& q) { q.SetSQL("select 1 from vle where vle_key=:k"); q.Open(); },
         "'k'"},
        {"syntax", [](TSqlQuery& q) { q.SetSQL("selec 1 from vle"); q.Open(); }, "Token unknown"},
        {"no such table", [](TSqlQuery& q) { q.SetSQL("delete from nothing_here"); q.ExecSQL(); }, "NOTHING_HERE"},
        {"text too long", [](TSqlQuery& q) {
             q.SetSQL("insert into cash(usr_id) values(:u)"); q.SetString("u", "12345"); q.ExecSQL(); },
         "truncation"},
        {"read after the end", [](TSqlQuery& q) { q.SetSQL("select * from zets"); q.Open(); q.AsString("zet_id"); },
         "Nema tekuceg reda"},
    };
    for (const Case& c : cases) {
        TSqlQuery q(*connection);
        try {
            c.run(q);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const LinkError& e) {
            EXPECT_NE(e.Text().find(c.expected), std::string::npos) << c.what << ": " << e.Text();
        }
    }
    // A failed statement leaves nothing behind and the connection usable.
    EXPECT_EQ(Scalar("select count(*) from cash"), "0");
}

// A statement run per line keeps its parameter layout while the values fit and
// makes a new one when a text outgrows it; a value longer than its column is still
// refused however much room the layout gives.
TEST_F(QueryTest, ReusedStatementTakesTextsOfEveryLength)
{
    TSqlQuery q(*connection);
    const std::string names[] = {"short", std::string(63, 'a'), std::string(64, 'b'), std::string(65, 'c'),
                                 std::string(255, 'd'), "x", ""};
    int seq = 1;
    for (const std::string& name : names) {
        q.SetSQL("insert into curr_abc(seq, art_id, tax_id, plu_naziv, cena, kolicina) "
                 "values(:seq, 'A', '1', :plu_naziv, 0, 0)");
        q.SetInteger("seq", seq++);
        q.SetString("plu_naziv", name);
        q.ExecSQL();
    }
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(Scalar("select plu_naziv from curr_abc where seq = " + std::to_string(i + 1)), names[i]);

    q.SetSQL("insert into cash(usr_id) values(:u)");
    q.SetString("u", "ab");
    q.ExecSQL();
    q.SetString("u", "12345");
    EXPECT_NE(Error([&] { q.ExecSQL(); }).find("truncation"), std::string::npos);
    EXPECT_EQ(Scalar("select count(*) from cash"), "1");
}

// Statements gathered in one transaction become durable together with one commit;
// one that fails on the way is undone alone; an end without commit keeps nothing.
TEST_F(QueryTest, TransactionCommitsItsStatementsTogether)
{
    TSqlConnection& db = connection->SQLConnection1;
    TSqlQuery q(*connection);
    auto insert = [&](int seq) {
        q.SetSQL("insert into curr_abc(seq, art_id, tax_id, plu_naziv, cena, kolicina) "
                 "values(:seq, 'A', '1', 'n', 0, 0)");
        q.SetInteger("seq", seq);
        q.ExecSQL();
    };
    const uint64_t commits0 = db.Commits();
    {
        TSqlTransaction batch(*connection);
        insert(1);
        insert(2);
        EXPECT_NE(Error([&] { insert(1); }).find("violation"), std::string::npos) << "the key holds inside it";
        insert(3);
        EXPECT_EQ(Scalar("select count(*) from curr_abc"), "0") << "nothing seen before the commit";
        EXPECT_NE(Error([&] { TSqlTransaction second(*connection); }), "(no error)");
        batch.Commit();
    }
    EXPECT_EQ(db.Commits() - commits0, 1u);
    EXPECT_EQ(Scalar("select cast(list(seq) as varchar(40)) from curr_abc"), "1,2,3");

    {
        TSqlTransaction dropped(*connection);
        insert(4);
        insert(5);
    }
    EXPECT_EQ(Scalar("select count(*) from curr_abc"), "3");
    insert(6);  // committed by itself again
    EXPECT_EQ(Scalar("select count(*) from curr_abc"), "4");
    EXPECT_EQ(db.Commits() - commits0, 2u);
}

TEST(Connection, MissingDatabaseFailsNamingIt)
{
    UseTestFirebirdLock();
    TempDir dir;
    const std::string path = dir.File("none.fdb");
    try {
        TFormConnection connection(path);
        ADD_FAILURE() << "opened a missing database";
    } catch (const LinkError& e) {
        EXPECT_NE(e.Text().find(path), std::string::npos) << e.Text();
    }
}

}  // namespace
}  // namespace velbrin::test
