// The empty database as shipped: version, archive tables that take "select *"
// copies, and the keys that refuse duplicates with a clear message.
#include "DbTestSupport.h"

#include "app/P00_util.h"

namespace velbrin::test {
namespace {

using SchemaTest = DbTest;

TEST_F(SchemaTest, ShipsAsVersion300)
{
    TSqlQuery q(*connection);
    q.SetSQL("select vle_value from vle where vle_key='DB_Version'");
    q.Open();
    ASSERT_FALSE(q.Eof());
    EXPECT_EQ(q.AsInteger("vle_value"), 300);
    for (const char* table : {"curr_abc", "curr_sales", "curr_payments", "sales", "payments", "arts", "zets", "cash"})
        EXPECT_EQ(Scalar(std::string("select count(*) cnt from ") + table), "0") << table;
}

// The receipt archive copies whole rows; every column must land in its namesake.
TEST_F(SchemaTest, CurrentRowsCopyIntoArchiveColumnForColumn)
{
    Exec("insert into curr_sales(zet_id,trm_id,dtm_tran,dtm_zet,bon_id,usr_id,art_id,tax_id,plu_naziv,"
         "kolicina,cena,iznos,prc_popust,ind_storno,fp_command) values('000001','007',"
         "'2027-03-01 09:05:03:007',null,12,'U1','A-1','2','Hleb',1.5,80,120,0,'N','17#80.00*1.500')");
    Exec("insert into curr_payments(zet_id,trm_id,dtm_tran,dtm_zet,bon_id,usr_id,iznos,kusur,pay_1,pay_2,"
         "pay_3,pay_4,pay_5,pay_6,card_id,items_no,ind_popust,ind_storno) values('000001','007',"
         "'2027-03-01 09:05:04:100',null,12,'U1',120,30,150,0,0,0,0,0,null,1,'N','N')");
    Exec("insert into sales select * from curr_sales");
    Exec("insert into payments select * from curr_payments");

    for (const auto& [current, archive] : {std::pair{"curr_sales", "sales"}, std::pair{"curr_payments", "payments"}}) {
        TSqlQuery a(*connection), b(*connection);
        a.SetSQL(std::string("select * from ") + current);
        b.SetSQL(std::string("select * from ") + archive);
        a.Open();
        b.Open();
        ASSERT_EQ(a.FieldCount(), b.FieldCount()) << archive;
        for (int i = 0; i < a.FieldCount(); ++i) {
            EXPECT_EQ(a.Field(i).name, b.Field(i).name) << archive;
            EXPECT_EQ(a.AsString(i), b.AsString(i)) << archive << "." << a.Field(i).name;
            EXPECT_EQ(a.IsNull(i), b.IsNull(i)) << archive << "." << a.Field(i).name;
        }
    }
    EXPECT_EQ(Scalar("select fp_command from sales where bon_id=12"), "17#80.00*1.500");
    EXPECT_EQ(Scalar("select kusur from payments where bon_id=12"), "30.0000");
}

TEST_F(SchemaTest, DuplicatesAreRefusedNamingTheRule)
{
    struct Case {
        const char* what;
        const char* first;
        const char* second;
        const char* constraint;
    };
    const Case cases[] = {
        {"second header line",
         "insert into curr_abc(seq,art_id,tax_id,plu_naziv,cena,kolicina) values(0,'FileName','0','ABC_1.zvx',0,0)",
         "insert into curr_abc(seq,art_id,tax_id,plu_naziv,cena,kolicina) values(0,'FileName','0','ABC_2.zvx',0,0)",
         "CURR_ABC_ONE_ROW_PER_SEQ"},
        {"article twice", "insert into arts(art_id,plu_id) values('A','2')",
         "insert into arts(art_id,plu_id) values('A','3')", "ARTS_ONE_ROW_PER_ARTICLE"},
        {"PLU twice", "insert into arts(art_id,plu_id) values('B','4')",
         "insert into arts(art_id,plu_id) values('C','4')", "ARTS_ONE_ROW_PER_PLU"},
        {"day twice", "insert into zets(zet_id,trm_id) values('000001','000')",
         "insert into zets(zet_id,trm_id) values('000001','000')", "ZETS_ONE_ROW_PER_DAY"},
    };
    for (const Case& c : cases) {
        Exec(c.first);
        try {
            Exec(c.second);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const LinkError& e) {
            EXPECT_NE(e.Text().find(c.constraint), std::string::npos) << c.what << ": " << e.Text();
            EXPECT_NE(e.Text().find("violation of PRIMARY or UNIQUE KEY"), std::string::npos) << e.Text();
        }
    }
    EXPECT_EQ(Scalar("select plu_naziv from curr_abc where seq=0"), "ABC_1.zvx");
}

}  // namespace
}  // namespace velbrin::test
