#include "support/LinkRig.h"

#include "DbTestSupport.h"
#include "app/P00_util.h"
#include "store/P00_query.h"

#include <sstream>

namespace velbrin::test {

LinkRig::LinkRig(const LinkRigOptions& options) : registry(dir.Path(), dir.File("install"))
{
    UseTestFirebirdLock();
    sim = std::make_unique<sim::Fp550Simulator>(SimStatePath());
    const std::string device = sim->Start();
    for (const std::string& line : options.simControl) sim->Control(line);

    ini = std::make_unique<TIniLink>();
    ini->WriteString("Portovi", "FP", device);
    for (const auto& [key, value] : options.ini) ini->WriteString(key.first, key.second, value);
    ini->WriteFile();
    for (const std::string& d : {ini->LogsDir(), ini->ToFpDir(), ini->FromFpDir(), ini->OtherDir() + "/DB_Clear",
                                 ExtractFileDir(ini->DbPath())})
        if (!ForceDirectories(d)) throw LinkError("cannot create " + d);
    if (!CopyFileOverwrite(TemplateDbPath(), ini->TemplateDbPath()) ||
        !CopyFileOverwrite(TemplateDbPath(), ini->DbPath()))
        throw LinkError("cannot copy the empty database " + TemplateDbPath());
    StartLink();
}

void LinkRig::StartLink()
{
    msg.SetLanguage(ini->Language());
    connection = std::make_unique<TFormConnection>(ini->DbPath());
    fpDef = std::make_unique<TFormFPDef>(*ini);
    fp = std::make_unique<TFormFP>(*fpDef, app);
    fp->SetLogPath(JoinPath(ini->LogsDir(), "FP550_log.txt"));
    linkLog.SetPath(JoinPath(ini->LogsDir(), "LINK_log.txt"));
    fp->SetTaxGroupFlags(fp->ReadTaxGroups());
    commonLink = std::make_unique<TFormCommonLink>(*connection);
    zets = std::make_unique<TFormZets>(*connection, *ini, *fp, *commonLink);
    store.reset(new TStoreContext{*connection, *fp, *ini, msg, *zets, linkLog, app});
}

void LinkRig::StopLink()
{
    store.reset();
    zets.reset();
    commonLink.reset();
    fp.reset();
    fpDef.reset();
    connection.reset();
}

void LinkRig::RestartLink()
{
    StopLink();
    app = FakeAppServices();
    StartLink();
}

LinkRig::~LinkRig()
{
    // The link lets go of the port before the simulator closes its side.
    StopLink();
    sim.reset();
}

uint64_t LinkRig::Exec(const std::string& sql)
{
    TSqlQuery q(*connection);
    q.SetSQL(sql);
    return q.ExecSQL();
}

std::string LinkRig::Scalar(const std::string& sql)
{
    TSqlQuery q(*connection);
    q.SetSQL(sql);
    q.Open();
    return q.Eof() ? std::string() : q.AsString(0);
}

long long LinkRig::ScalarInt(const std::string& sql)
{
    TSqlQuery q(*connection);
    q.SetSQL(sql);
    q.Open();
    return q.Eof() ? 0 : q.AsInteger(0);
}

Money LinkRig::ScalarMoney(const std::string& sql)
{
    TSqlQuery q(*connection);
    q.SetSQL(sql);
    q.Open();
    return q.Eof() ? Money() : q.AsMoney(0);
}

int LinkRig::JournalCount(const std::string& prefix) const
{
    int n = 0;
    for (const std::string& line : sim->Journal())
        if (line.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

std::vector<std::string> LinkRig::LinkLogLines() const
{
    std::vector<std::string> lines;
    if (!FileExists(linkLog.Path())) return lines;
    std::istringstream in(ReadWholeFile(linkLog.Path()));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace velbrin::test
