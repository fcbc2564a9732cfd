// Malformed requests of every kind and encoding: each is answered ".err" (or,
// where it is a sound request after all, answered once and printed once), the
// link keeps running, and nothing stored before changes.
#include "app/P00_util.h"
#include "store/P00_connection.h"
#include "store/P00_query.h"
#include "tools/harness/HarnessRuns.h"
#include "tools/harness/HarnessSession.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace velbrin::harness {

namespace {

enum class Expect { Err, Answer };

struct BadFile {
    std::string name;
    std::string bytes;
    Expect expect;
    std::string why;
};

std::string Random(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string Repeat(const std::string& line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line;
    return s;
}

// A dBase header that promises more than the file holds.
std::string LyingDbf(uint32_t records, uint16_t headerLength) {
    std::string h(32, '\0');
    h[0] = 0x03;
    h[1] = 124, h[2] = 1, h[3] = 1;
    for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>((records >> (8 * i)) & 0xFF);
    h[8] = static_cast<char>(headerLength & 0xFF), h[9] = static_cast<char>(headerLength >> 8);
    h[10] = 82, h[11] = 0;
    auto field = [](const char* name, char type, int len, int dec) {
        std::string f(32, '\0');
        for (int i = 0; name[i] && i < 10; ++i) f[i] = name[i];
        f[11] = type;
        f[16] = static_cast<char>(len);
        f[17] = static_cast<char>(dec);
        return f;
    };
    h += field("ART_ID", 'C', 20, 0) + field("TAX_ID", 'C', 1, 0) + field("PLU_NAZIV", 'C', 40, 0) +
         field("CENA", 'N', 10, 2) + field("KOLICINA", 'N', 10, 3);
    h += '\r';
    h += " " + std::string("7001                ") + "1" + std::string(40, 'x') + "    100.00     1.000";
    return h;
}

// Every row of the tables a bad request must not touch, as text.
std::set<std::string> Snapshot(const std::string& db) {
    std::set<std::string> rows;
    TFormConnection connection(db);
    TSqlQuery q(connection);
    // Articles are left out: a sound line of a refused receipt updates its price
    // before the receipt fails, as it should.
    for (const char* table : {"sales", "payments", "zets"}) {
        q.SetSQL(std::string("select * from ") + table);
        q.Open();
        for (; !q.Eof(); q.Next()) {
            std::string row = table;
            for (int i = 0; i < q.FieldCount(); ++i) row += "|" + (q.IsNull(i) ? std::string("<null>") : q.AsString(i));
            rows.insert(row);
        }
        q.Close();
    }
    return rows;
}

}  // namespace

RunResult RunBadFiles(const Tools& tools, const std::string& root, unsigned seed) {
    RunResult result;
    result.name = "bad files";
    Session s(tools, root, seed);
    if (!s.StartLinkOrNote(result.faults)) return result;
    for (int i = 0; i < 4; ++i) {
        const SentReceipt r = s.Next(i % 2 ? "csv" : "zvx");
        if (!s.SendAndWait(r, 30000)) result.faults.push_back(r.name + " unanswered before the bad files");
    }
    s.StopLink();
    const std::set<std::string> before = Snapshot(s.inst.Database());
    s.StartLink();

    const SentReceipt good = MakeReceipt(900, s.rng, "zvx");
    const std::string goodCsv = MakeReceipt(901, s.rng, "csv").bytes;
    const std::string line = "7001,1,\"Artikal 1\",100.00,1\r\n";
    std::vector<BadFile> files = {
        {"ABC_T01.zvx", good.bytes.substr(0, good.bytes.size() / 2), Expect::Err, "truncated packet"},
        {"ABC_T02.zvx", Random(s.rng, 3000), Expect::Err, "binary packet"},
        {"ABC_T03.zvx", "", Expect::Err, "empty packet"},
        {"ABC_T04.zvx", Random(s.rng, 6 << 20), Expect::Err, "six megabytes of noise"},
        {"ABC_T05.csv", Repeat(line, 2000) + "KRAJBONA,0,-,0,0\r\n", Expect::Err, "2000 lines"},
        {"ABC_T06.csv", "7001,1,\"Artikal 1\"\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "too few fields"},
        {"ABC_T07.csv", "7001,1,\"Artikal 1\",100.00,1,9,9,9\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "too many fields"},
        {"ABC_T08.csv", "7001,1,\"Artikal 1\",12x.5,1\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "bad price"},
        {"ABC_T09.csv", "7001,1,\"Artikal 1\",100.00,abc\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "bad quantity"},
        {"ABC_T10.csv", "7001,1,\"Artikal 1\",99999999999999.99,1\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "huge price"},
        {"ABC_T11.csv", "7001,1,\"Artikal 1\",-5.00,1\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "negative price"},
        {"ABC_T12.csv", "7001,1,\"Artikal 1\",100.00,0\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "quantity 0"},
        {"ABC_T13.csv", "7001,1,\"Artikal 1\",100.00,-1\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "void without sale"},
        {"ABC_T14.csv", Repeat(line, 251) + "KRAJBONA,0,-,0,0\r\n", Expect::Err, "251 lines"},
        {"ABC_T15.csv", goodCsv.substr(0, goodCsv.find("KRAJBONA")), Expect::Err, "no end row"},
        {"ABC_T16.txt", "7001   1 short\r\nKRAJBONA\r\n", Expect::Err, "short fixed-width lines"},
        {"ABC_T17.dbf", LyingDbf(1000, 193), Expect::Err, "dBase header with 1000 records, one present"},
        {"ABC_T18.dbf", LyingDbf(1, 60000), Expect::Err, "dBase header longer than the file"},
        {"ABC_T19.xml", "<?xml version=\"1.0\"?><DATAPACKET><ROWDATA><ROW ART_ID=\"7001\"", Expect::Err, "cut XML"},
        {"ABC_T20", line + "KRAJBONA,0,-,0,0\r\n", Expect::Err, "no extension"},
        {"ABC_T21.zvx", "\xEF\xBB\xBF<DATAPACKET><METADATA></METADATA><ROWDATA><ROW/></ROWDATA></DATAPACKET>",
         Expect::Err, "packet without fields"},
        {"ABC_T22.csv", "7001,9,\"Artikal 1\",100.00,1\r\nKRAJBONA,0,-,0,0\r\n", Expect::Err, "unknown tax group"},
        {"CMD_T01.zvx", Random(s.rng, 500), Expect::Err, "binary command packet"},
        {"CMD_T02.csv", "050,abc\r\n", Expect::Err, "cash in of no number"},
        {"CMD_T03.csv", "999,whatever\r\n", Expect::Answer, "unknown command"},
        {"CMD_T04.txt", "\x01\x02\x03\r\n", Expect::Answer, "control characters as a command"},
        {"CMD_T05.csv", "0x5,\r\n", Expect::Err, "command code not a number"},
        {"TXT_T01.zvx", "<?xml version=\"1.0\"?><DATAPACKET", Expect::Err, "truncated text packet"},
        {"TXT_T02.csv", "\"Tekst sa \"\"navodnicima\"\" i \x07 zvonom\"\r\n" + std::string(300, 'W') + "\r\n",
         Expect::Answer, "quotes, a bell and an overlong line"},
        {"TXT_T03.dbf", LyingDbf(5, 32), Expect::Err, "dBase header shorter than its fields"},
        {"ART-N_T01.zvx", Random(s.rng, 800), Expect::Err, "binary article packet"},
        {"ART-N_T02.csv", "9001,1,\"Los artikal\",abc,1\r\n9002,1,\"Los\",10.00,x\r\n", Expect::Err,
         "article rows with bad numbers"},
        {"ART-K_T03.txt", std::string(81, ' ') + "\r\n", Expect::Answer, "blank article line"},
    };
    // Sound receipts with awkward names: printed once, answered once.
    auto awkward = [&](const std::string& fileName, const std::string& plu, const std::string& why) {
        SentReceipt r = s.Next("csv");
        const std::string body = r.bytes;
        r.name = fileName;
        r.request = ChangeFileExt(fileName, "");
        r.bytes = "TAG,1,Oznaka," + Hundredths(kTagBase + r.k) + ",1\r\n7101,1,\"" + plu + "\",10.00,1\r\nKRAJBONA,0,-,0,0\r\n";
        r.total = kTagBase + r.k + 1000;
        s.sent.back() = r;
        files.push_back({fileName, r.bytes, Expect::Answer, why});
        (void)body;
    };
    awkward("ABC_T30.csv", "Ime \"\"sa\"\" navodnicima", "quotes in the article name");
    awkward("ABC_T31.csv", "Tab\tbell\x07 name", "control characters in the article name");
    awkward("ABC_T32.csv", "\xC8okolada \x9A\xE6", "Windows-1250 letters");
    awkward("ABC_T33.csv", "\xC4\x8Cokolada \xC5\xA1\xC4\x87", "UTF-8 letters");
    awkward("ABC_q'uote.csv", "Artikal", "a quote in the file name");

    int answered = 0, errs = 0;
    for (const BadFile& f : files) {
        // Each is a request the books know: answered once, like any other.
        const std::string request = ChangeFileExt(f.name, "");
        const bool receipt = std::any_of(s.sent.begin(), s.sent.end(), [&](const SentReceipt& r) { return r.request == request; });
        if (!receipt) {
            SentRequest known;
            known.kind = request.rfind("CMD_", 0) == 0   ? RequestKind::Command
                         : request.rfind("TXT_", 0) == 0 ? RequestKind::Text
                         : request.rfind("ART", 0) == 0  ? RequestKind::Article
                                                          : RequestKind::Receipt;
            known.name = f.name;
            known.request = request;
            s.others.push_back(known);
        }
        s.cash.Drop(f.name, f.bytes);
        const bool got = s.WaitAnswered({request}, 60000);
        if (!s.link.Running() || s.restarts > 0) {
            result.faults.push_back(f.name + " (" + f.why + ") ended the link");
            s.restarts = 0;
            s.Nurse();
        }
        if (!got) {
            result.faults.push_back(f.name + " (" + f.why + ") was not answered");
            continue;
        }
        ++answered;
        const auto& answers = s.cash.AnswersOf(request);
        const bool err = answers[0].rfind("err", 0) == 0;
        errs += err;
        if (f.expect == Expect::Err && !err)
            result.faults.push_back(f.name + " (" + f.why + ") answered " + answers[0]);
        // The answer may reach the cash register a moment before the request file goes.
        if (!WaitUntil([&] { return !FileExists(s.inst.ToFp() + "/" + f.name); }, 3000))
            result.faults.push_back(f.name + " (" + f.why + ") still in the exchange directory");
        std::printf("  %-16s %-48s %s", f.name.c_str(), f.why.c_str(), answers[0].c_str());
        if (answers[0].empty() || answers[0].back() != '\n') std::printf("\n");
        std::fflush(stdout);
    }
    // The link still prints after all of them.
    const SentReceipt last = s.Next();
    if (!s.SendAndWait(last, 30000)) result.faults.push_back("no receipt printed after the bad files");

    // Only ABC files with tags take part in the books; the others must not have printed.
    std::vector<SentReceipt> tagged;
    for (const SentReceipt& r : s.sent) tagged.push_back(r);
    const Verdict v = s.Check();
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());
    const std::set<std::string> after = Snapshot(s.inst.Database());
    int changed = 0;
    for (const std::string& row : before)
        if (!after.count(row)) {
            if (++changed <= 5) result.faults.push_back("stored row changed or gone: " + row);
        }
    result.figures = {"bad files tried: " + std::to_string(files.size()) + ", answered: " + std::to_string(answered) +
                          " (" + std::to_string(errs) + " with .err)",
                      "stored rows before: " + std::to_string(before.size()) + ", changed: " + std::to_string(changed),
                      "receipts printed around them: " + std::to_string(v.answeredOk) +
                          ", lost: " + std::to_string(v.lost) + ", duplicated: " + std::to_string(v.duplicated)};
    return result;
}

}  // namespace velbrin::harness
