#include "tools/fp550sim/SimControl.h"

#include <sstream>
#include <stdexcept>
#include <vector>

namespace velbrin::sim {

int SimFaults::DelayFor(int cmd) const
{
    const auto it = commandDelayMs.find(cmd);
    return it != commandDelayMs.end() ? it->second : delayMs;
}

namespace {

std::vector<std::string> Words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

long long Integer(const std::string& line, const std::string& text, long long lo, long long hi)
{
    std::size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(text, &used);
    } catch (const std::logic_error&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || v < lo || v > hi)
        throw std::invalid_argument("bad number '" + text + "' in control line: " + line);
    return v;
}

// The text after the first word, with the single blank that separates it removed.
std::string RestOf(const std::string& line)
{
    const auto start = line.find_first_not_of(" \t");
    const auto blank = line.find_first_of(" \t", start);
    return blank == std::string::npos ? "" : line.substr(blank + 1);
}

}  // namespace

std::string ApplyControl(const std::string& rawLine, SimFaults& f, SimState& st, bool& stateChanged)
{
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    const auto w = Words(line);
    if (w.empty())
        throw std::invalid_argument("empty control line");
    const std::string& cmd = w[0];
    auto arg = [&](std::size_t i) -> const std::string& {
        if (i >= w.size())
            throw std::invalid_argument("missing argument in control line: " + line);
        return w[i];
    };
    auto count = [&](int& field) {
        field = static_cast<int>(Integer(line, arg(1), 0, 1000000));
        return std::string("ok");
    };
    auto onOff = [&](const std::string& v) {
        if (v == "on") return true;
        if (v == "off") return false;
        throw std::invalid_argument("expected on or off in control line: " + line);
    };

    if (cmd == "noanswer") return count(f.noAnswer);
    if (cmd == "nak") return count(f.nak);
    if (cmd == "lose") return count(f.lose);
    if (cmd == "syn") return count(f.syn);
    if (cmd == "badsum") return count(f.badSum);
    if (cmd == "badseq") return count(f.badSeq);
    if (cmd == "badcmd") return count(f.badCmd);
    if (cmd == "badlen") return count(f.badLen);
    if (cmd == "oncmd") return count(f.onlyCmd);
    if (cmd == "late") {
        f.lateMs = static_cast<int>(Integer(line, arg(1), 0, 600000));
        return "ok";
    }
    if (cmd == "trunc") return count(f.trunc);
    if (cmd == "paper") {
        const std::string& v = arg(1);
        if (v == "on") f.hardware.paperOut = f.hardware.journalOut = false;
        else if (v == "off") f.hardware.paperOut = true, f.hardware.journalOut = false;
        else if (v == "journal") f.hardware.paperOut = f.hardware.journalOut = true;
        else throw std::invalid_argument("expected off, journal or on in control line: " + line);
        return "ok";
    }
    if (cmd == "display") {
        f.hardware.displayOff = !onOff(arg(1));
        return "ok";
    }
    if (cmd == "fiscal") {
        st.fiscalised = onOff(arg(1));
        stateChanged = true;
        return "ok";
    }
    if (cmd == "firmware" || cmd == "ident" || cmd == "serial" || cmd == "taxflags") {
        const std::string text = RestOf(line);
        if (text.empty())
            throw std::invalid_argument("missing text in control line: " + line);
        (cmd == "firmware" ? st.firmware : cmd == "ident" ? st.ident : cmd == "serial" ? st.serial : st.taxFlags) = text;
        stateChanged = true;
        return "ok";
    }
    if (cmd == "clock") {
        const std::string& v = arg(1);
        st.clockOffset = Integer(line, v, -3000000000LL, 3000000000LL);
        stateChanged = true;
        return "ok";
    }
    if (cmd == "cut") {
        if (arg(1) == "off") {
            f.cut = false;
            f.cutAfter = -1;
        } else {
            f.cutAfter = static_cast<int>(Integer(line, arg(1), 0, 1000000));
            f.cut = f.cutAfter == 0;
        }
        return "ok";
    }
    if (cmd == "delay") {
        const int ms = static_cast<int>(Integer(line, arg(1), 0, 600000));
        if (w.size() > 2)
            f.commandDelayMs[static_cast<int>(Integer(line, w[2], 0x20, 0x7F))] = ms;
        else
            f.delayMs = ms;
        return "ok";
    }
    if (cmd == "baud") {
        f.baud = arg(1) == "off" ? 0 : static_cast<int>(Integer(line, arg(1), 300, 4000000));
        return "ok";
    }
    if (cmd == "refuse") {
        const int command = static_cast<int>(Integer(line, arg(1), 0x20, 0x7F));
        f.refuse[command] = static_cast<int>(Integer(line, arg(2), 0, 1000000));
        return "ok";
    }
    if (cmd == "artmark") {
        f.hardware.articleMark = arg(1);
        return "ok";
    }
    if (cmd == "synint") {
        f.synIntervalMs = static_cast<int>(Integer(line, arg(1), 1, 10000));
        return "ok";
    }
    if (cmd == "noise") {
        if (arg(1) == "off") {
            f.noiseRate = 0;
            return "ok";
        }
        double rate = 0;
        try {
            std::size_t used = 0;
            rate = std::stod(arg(1), &used);
            if (used != arg(1).size()) rate = -1;
        } catch (const std::logic_error&) {
            rate = -1;
        }
        if (rate < 0 || rate > 1)
            throw std::invalid_argument("bad rate in control line: " + line);
        f.noiseRate = rate;
        f.noise.seed(static_cast<std::mt19937::result_type>(Integer(line, arg(2), 0, 4294967295LL)));
        return "ok";
    }
    if (cmd == "reset") {
        f = SimFaults{};
        return "ok";
    }
    if (cmd == "article") {
        // Someone else changes the article table (a service tool, another program).
        if (arg(1) == "drop") {
            if (st.articles.empty()) return std::string("ok none");
            const int plu = st.articles.rbegin()->first;
            st.articles.erase(plu);
            stateChanged = true;
            return "ok dropped " + std::to_string(plu);
        }
        if (arg(1) == "add" && w.size() > 3) {
            const int plu = static_cast<int>(Integer(line, w[2], 1, 3000));
            int64_t price = 0;
            if (!ParseFixed(w[3], 2, price) || price < 0) throw std::invalid_argument("bad price in control line: " + line);
            st.articles[plu] = SimArticle{plu, 'A', price, 0, "Stran artikal"};
            stateChanged = true;
            return "ok added " + std::to_string(plu);
        }
        throw std::invalid_argument("expected article drop or article add PLU PRICE: " + line);
    }
    if (cmd == "factory") {
        st = SimState{};
        stateChanged = true;
        return "ok";
    }
    if (cmd == "status") {
        std::ostringstream o;
        o << "receipt=" << (st.receiptOpen ? st.receiptNumber : 0) << " lines=" << st.lines.size()
          << " total=" << FormatFixed(st.ReceiptTotal(), 2) << " paid=" << FormatFixed(st.ReceiptPaid(), 2)
          << " day=" << FormatFixed(st.DayTotal(), 2) << " articles=" << st.articles.size()
          << " last_receipt=" << st.receiptNumber << " z=" << st.zNumber;
        return o.str();
    }
    throw std::invalid_argument("unknown control line: " + line);
}

}  // namespace velbrin::sim
