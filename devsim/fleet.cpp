#include "devsim/fleet.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>
#include <utility>

namespace devsim {
namespace {

using Json = nlohmann::ordered_json;

bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr)
        *error = why;
    return false;
}

// A text field of an entry of the fleet list; false (with the reason) when present and not a string.
bool TextField(const Json& entry, const char* key, std::optional<std::string>& out, const std::string& where,
               std::string* error) {
    auto it = entry.find(key);
    if (it == entry.end())
        return true;
    if (!it->is_string())
        return Fail(error, where + ": \"" + key + "\" needs a string");
    out = it->get<std::string>();
    return true;
}

bool ParseEntry(const Json& item, std::optional<Model> fallback, const std::string& where, FleetEntry& e,
                std::string* error) {
    if (!item.is_object())
        return Fail(error, where + ": needs an object");
    for (const auto& [key, value] : item.items())
        if (key != "count" && key != "model" && key != "version" && key != "faults" && key != "login" &&
            key != "password")
            return Fail(error, where + ": unknown key \"" + key + "\"");
    if (auto it = item.find("count"); it != item.end()) {
        if (!it->is_number_unsigned() || it->get<std::uint64_t>() < 1 || it->get<std::uint64_t>() > kMaxFleet)
            return Fail(error,
                        where + ": \"count\" needs a whole number from 1 to " + std::to_string(kMaxFleet));
        e.count = static_cast<std::size_t>(it->get<std::uint64_t>());
    }
    std::optional<std::string> model;
    if (!TextField(item, "model", model, where, error))
        return false;
    if (model) {
        auto m = ParseModel(*model);
        if (!m)
            return Fail(error, where + ": unknown model \"" + *model + "\"");
        e.model = *m;
    } else if (fallback) {
        e.model = *fallback;
    } else {
        return Fail(error, where + ": no \"model\", and no --model for it");
    }
    std::optional<std::string> faults;
    if (auto it = item.find("faults"); it != item.end() && it->is_array()) {
        std::string joined;
        for (const auto& one : *it) {
            if (!one.is_string())
                return Fail(error, where + ": \"faults\" needs a string or an array of strings");
            joined += (joined.empty() ? "" : ",") + one.get<std::string>();
        }
        faults = joined;
    } else if (!TextField(item, "faults", faults, where, error)) {
        return false;
    }
    if (faults) {
        std::string why;
        e.faults = Faults{};
        if (!ParseFaultList(*faults, *e.faults, &why))
            return Fail(error, where + ": " + why);
    }
    return TextField(item, "version", e.firmware, where, error) &&
           TextField(item, "login", e.login, where, error) &&
           TextField(item, "password", e.password, where, error);
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out || !(out << text).flush())
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// A member's report object one level deeper, with the fleet's own line first.
std::string Nest(const std::string& json, const std::string& firstLine) {
    std::string out;
    std::size_t at = 0;
    while (at < json.size()) {
        std::size_t end = json.find('\n', at);
        if (end == std::string::npos)
            end = json.size();
        std::string_view line(json.data() + at, end - at);
        if (!line.empty())
            out.append(at == 0 ? "" : "\n    ").append(line);
        if (at == 0)
            out += "\n      " + firstLine + ",";
        at = end + 1;
    }
    return out;
}

} // namespace

std::optional<std::vector<FleetEntry>> ParseFleetList(std::string_view text, std::optional<Model> model,
                                                      std::string* error) {
    Json list = Json::parse(text, nullptr, false);
    if (list.is_discarded()) {
        Fail(error, "not JSON");
        return std::nullopt;
    }
    if (!list.is_array() || list.empty()) {
        Fail(error, "needs a JSON array of one or more entries");
        return std::nullopt;
    }
    std::vector<FleetEntry> entries;
    for (std::size_t i = 0; i < list.size(); ++i) {
        FleetEntry e;
        if (!ParseEntry(list[i], model, "entry " + std::to_string(i + 1), e, error))
            return std::nullopt;
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<FleetEntry> DefaultFleetMix() {
    std::vector<FleetEntry> mix(3);
    mix[0].model = Model::Tolva21;
    mix[1].model = Model::Tolva22;
    mix[2].model = Model::Dravenholt;
    return mix;
}

std::optional<std::vector<Options>> FleetMemberOptions(const FleetOptions& f, std::string* error) {
    const std::vector<FleetEntry> entries = f.entries.empty() ? DefaultFleetMix() : f.entries;
    std::vector<const FleetEntry*> pattern;
    for (const auto& e : entries)
        for (std::size_t i = 0; i < e.count && pattern.size() <= kMaxFleet; ++i)
            pattern.push_back(&e);
    const std::size_t n = f.size != 0 ? f.size : pattern.size();
    if (n == 0 || n > kMaxFleet) {
        Fail(error, "a fleet has 1 to " + std::to_string(kMaxFleet) + " devices, not " + std::to_string(n));
        return std::nullopt;
    }
    if (f.addressBase.addr == 0 || f.addressBase.addr > 0xFFFFFFFEu - (n - 1)) {
        Fail(error, std::to_string(n) + " addresses from " + f.addressBase.ToString() + " do not fit");
        return std::nullopt;
    }
    std::vector<Options> members;
    for (std::size_t i = 0; i < n; ++i) {
        const FleetEntry& e = *pattern[i % pattern.size()];
        Options o = f.device;
        o.address = net::Ipv4{f.addressBase.addr + static_cast<std::uint32_t>(i)};
        o.model = e.model;
        o.firmware = e.firmware.value_or(f.device.firmware);
        if (e.faults)
            o.faults = *e.faults;
        o.login = e.login.value_or(o.login);
        o.password = e.password.value_or(o.password);
        o.seed = f.device.seed + i;
        o.reportFile.clear();
        o.readyFile.clear();
        members.push_back(std::move(o));
    }
    return members;
}

Fleet::Fleet(FleetOptions options) : m_options(std::move(options)) {}

Fleet::~Fleet() {
    Stop();
}

bool Fleet::Start(std::string* error) {
    if (m_started)
        return Fail(error, "already started");
    auto members = FleetMemberOptions(m_options, error);
    if (!members)
        return false;
    m_started = true;
    m_hub = std::make_unique<TftpClientHub>();
    auto shared = m_options.device.log;
    for (std::size_t i = 0; i < members->size(); ++i) {
        Options& o = (*members)[i];
        const std::string prefix = o.address.ToString() + ": ";
        o.log = [this, shared, prefix](std::string_view line) {
            std::string text = prefix + std::string(line);
            if (shared) {
                shared(text);
                return;
            }
            text += '\n';
            std::lock_guard<std::mutex> g(m_logMu);
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        };
        o.tftpHub = m_hub.get();
        o.reportChanged = [this, i] {
            if (m_reporting)
                WriteReport(i);
        };
    }
    // With port 0 the first member's free port may be taken on a later address; a new port then.
    const bool anyPort = m_options.device.httpPort == 0;
    std::string why;
    for (int attempt = 0; attempt < (anyPort ? 5 : 1); ++attempt) {
        m_members.clear();
        bool all = true;
        std::uint16_t port = m_options.device.httpPort;
        for (std::size_t i = 0; i < members->size() && all; ++i) {
            Options o = (*members)[i];
            o.httpPort = port;
            m_members.push_back(std::make_unique<Simulator>(std::move(o)));
            all = m_members.back()->Start(&why);
            if (i == 0 && all)
                port = m_members.back()->HttpEndpoint().port;
        }
        if (all)
            break;
        m_members.clear(); // stops and joins the members already started
    }
    if (m_members.empty()) {
        m_stopped = true;
        return Fail(error, why);
    }
    if (!m_options.readyFile.empty()) {
        std::string ready;
        for (std::size_t i = 0; i < m_members.size(); ++i)
            ready += HttpEndpoint(i).ToString() + "\n";
        if (!WriteFileAtomically(m_options.readyFile, ready)) {
            m_members.clear();
            m_stopped = true;
            return Fail(error, "cannot write " + m_options.readyFile);
        }
    }
    m_reporting = true;
    WriteReport();
    return true;
}

std::size_t Fleet::size() const {
    return m_members.size();
}

Simulator& Fleet::Member(std::size_t index) {
    return *m_members.at(index);
}

const Simulator& Fleet::Member(std::size_t index) const {
    return *m_members.at(index);
}

net::Endpoint Fleet::HttpEndpoint(std::size_t index) const {
    return m_members.at(index)->HttpEndpoint();
}

std::string Fleet::MemberJson(std::size_t index) const {
    const Simulator& sim = *m_members[index];
    const Report r = sim.GetReport();
    const net::Endpoint ep = sim.HttpEndpoint();
    // The last image the member received, and whether it was one its model programs.
    Json image = nullptr;
    Json own = nullptr;
    for (auto u = r.upgrades.rbegin(); u != r.upgrades.rend(); ++u) {
        if (!u->imageFamily.empty()) {
            const auto families = AcceptedFamilies(*ParseModel(r.model));
            image = u->imageFamily;
            own = std::find(families.begin(), families.end(), u->imageFamily) != families.end();
            break;
        }
    }
    const Json line = {{"http_endpoint", ep.ToString()}, {"image_family", image}, {"own_model_image", own}};
    std::string members;
    for (const auto& [key, value] : line.items())
        members += (members.empty() ? "" : ", ") + Json(key).dump() + ": " + value.dump();
    return Json(ep.ip.ToString()).dump() + ": " + Nest(devsim::ReportJson(r), members);
}

std::string Fleet::Assemble(const std::vector<std::string>& entries) {
    std::string j = "{\n  \"fleet\": " + std::to_string(entries.size()) + ",\n  \"devices\": {";
    for (std::size_t i = 0; i < entries.size(); ++i)
        j += (i ? ",\n    " : "\n    ") + entries[i];
    return j + (entries.empty() ? "}\n}\n" : "\n  }\n}\n");
}

std::string Fleet::ReportJson() const {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < m_members.size(); ++i)
        entries.push_back(MemberJson(i));
    return Assemble(entries);
}

// A member's change renews only its own entry: the others' records, each holding its downloads'
// bytes, are not copied again.
void Fleet::WriteReport(std::optional<std::size_t> changed) {
    if (m_options.reportFile.empty())
        return;
    std::lock_guard<std::mutex> g(m_reportMu);
    if (changed && m_entries.size() == m_members.size()) {
        m_entries[*changed] = MemberJson(*changed);
    } else {
        m_entries.clear();
        for (std::size_t i = 0; i < m_members.size(); ++i)
            m_entries.push_back(MemberJson(i));
    }
    if (!WriteFileAtomically(m_options.reportFile, Assemble(m_entries)))
        std::fprintf(stderr, "skelvo-devsim: cannot write the report to %s\n", m_options.reportFile.c_str());
}

void Fleet::Stop() {
    if (!m_started || m_stopped)
        return;
    m_stopped = true;
    m_reporting = false;
    {
        // Lets a report being written by a member's thread finish first.
        std::lock_guard<std::mutex> g(m_reportMu);
    }
    // Each member's web server notices the stop within its poll interval; stopping them side by
    // side takes one interval instead of one per member.
    std::vector<std::thread> stoppers;
    stoppers.reserve(m_members.size());
    for (auto& m : m_members)
        stoppers.emplace_back([&m] { m->Stop(); });
    for (auto& t : stoppers)
        t.join();
    WriteReport();
}

} // namespace devsim
