// kt40drv.inf read as Windows setup reads it: every section it names exists,
// every %string% is defined, the hardware IDs are the ones the adapter's
// configuration space gives, and the service is the driver these tests load,
// with the binary the version resource names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kt40kernel/Kernel.h"
#include "kt40sim/Adapter.h"

namespace {

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") + 1 - b);
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// One line of a section: "key = v1, v2" or a bare "v1, v2" (key empty).
struct Entry {
    std::string key;
    std::vector<std::string> values;
};

std::vector<std::string> SplitValues(const std::string& text) {
    std::vector<std::string> out;
    std::string field;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            out.push_back(Trim(field));
            field.clear();
        } else {
            field += c;
        }
    }
    out.push_back(Trim(field));
    return out;
}

// Sections by lower-cased name. Comments run from ';' outside quotes to the
// end of the line; a '\' at the end of a line continues it.
class Inf {
public:
    explicit Inf(const std::string& path) {
        std::ifstream in(path);
        ok_ = static_cast<bool>(in);
        std::string line, pending;
        std::vector<Entry>* section = nullptr;
        while (std::getline(in, line)) {
            bool quoted = false;
            for (size_t i = 0; i < line.size(); ++i) {
                if (line[i] == '"') quoted = !quoted;
                if (line[i] == ';' && !quoted) {
                    line.resize(i);
                    break;
                }
            }
            line = Trim(line);
            if (!line.empty() && line.back() == '\\') {
                pending += line.substr(0, line.size() - 1);
                continue;
            }
            line = Trim(pending + line);
            pending.clear();
            if (line.empty()) continue;
            if (line.front() == '[') {
                const auto end = line.find(']');
                if (end == std::string::npos) {
                    errors_.push_back("unclosed section header: " + line);
                    continue;
                }
                const std::string name = Lower(Trim(line.substr(1, end - 1)));
                if (sections_.count(name)) errors_.push_back("section [" + name + "] appears twice");
                section = &sections_[name];
                continue;
            }
            if (!section) {
                errors_.push_back("line outside a section: " + line);
                continue;
            }
            Entry e;
            const auto eq = line.find('=');
            if (eq != std::string::npos && line.find('"') > eq) {
                e.key = Trim(line.substr(0, eq));
                e.values = SplitValues(line.substr(eq + 1));
            } else {
                e.values = SplitValues(line);
            }
            section->push_back(e);
            text_ += line + "\n";
        }
    }

    bool ok() const { return ok_; }
    const std::vector<std::string>& errors() const { return errors_; }
    bool Has(const std::string& name) const { return sections_.count(Lower(name)) != 0; }
    const std::vector<Entry>& Section(const std::string& name) const {
        static const std::vector<Entry> none;
        const auto it = sections_.find(Lower(name));
        return it == sections_.end() ? none : it->second;
    }
    // Values of the first entry with the key (case-insensitive), or none.
    std::vector<std::string> Values(const std::string& section, const std::string& key) const {
        for (const auto& e : Section(section))
            if (Lower(e.key) == Lower(key)) return e.values;
        return {};
    }
    std::string Value(const std::string& section, const std::string& key) const {
        const auto v = Values(section, key);
        return v.empty() ? std::string() : v[0];
    }
    const std::string& Text() const { return text_; }

private:
    bool ok_ = false;
    std::map<std::string, std::vector<Entry>> sections_;
    std::vector<std::string> errors_;
    std::string text_;  // every entry, comments removed
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in hexadecimal digits.
bool IsGuid(const std::string& s) {
    if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// Whether the whole of s matches the scanf format with `fields` numbers.
bool Scans(const std::string& s, const char* format, int fields, unsigned* v) {
    int used = 0;
    int got = 0;
    if (fields == 3) got = std::sscanf(s.c_str(), format, &v[0], &v[1], &v[2], &used);
    if (fields == 4) got = std::sscanf(s.c_str(), format, &v[0], &v[1], &v[2], &v[3], &used);
    return got == fields && static_cast<size_t>(used) == s.size();
}

// The %name% tokens of a text.
std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = text.find('%'); at != std::string::npos;) {
        const size_t end = text.find('%', at + 1);
        if (end == std::string::npos) break;
        out.push_back(text.substr(at + 1, end - at - 1));
        at = text.find('%', end + 1);
    }
    return out;
}

std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, v);
    return buf;
}

class InfFile : public ::testing::Test {
protected:
    Inf inf{KT40DRV_SOURCE_DIR "/kt40drv.inf"};
};

TEST_F(InfFile, IsWellFormedAndEveryNameResolves) {
    ASSERT_TRUE(inf.ok());
    EXPECT_EQ(inf.errors(), std::vector<std::string>{});
    EXPECT_EQ(inf.Value("Version", "Signature"), "\"$WINDOWS NT$\"");
    EXPECT_TRUE(IsGuid(inf.Value("Version", "ClassGuid"))) << inf.Value("Version", "ClassGuid");
    const auto driverVer = inf.Values("Version", "DriverVer");
    ASSERT_EQ(driverVer.size(), 2u);
    unsigned date[3] = {};
    unsigned version[4] = {};
    EXPECT_TRUE(Scans(driverVer[0], "%2u/%2u/%4u%n", 3, date) && driverVer[0].size() == 10) << driverVer[0];
    EXPECT_TRUE(date[0] >= 1 && date[0] <= 12 && date[1] >= 1 && date[1] <= 31 && date[2] >= 2000);
    EXPECT_TRUE(Scans(driverVer[1], "%u.%u.%u.%u%n", 4, version)) << driverVer[1];

    // Every %string% has its definition; %12% and the like are folder ids.
    std::set<std::string> defined;
    for (const auto& e : inf.Section("Strings")) defined.insert(Lower(e.key));
    for (const std::string& name : Tokens(inf.Text())) {
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) continue;
        EXPECT_TRUE(defined.count(Lower(name))) << "%" << name << "% is not in [Strings]";
    }

    // Each AddReg and CopyFiles names an existing section, as does each
    // manufacturer's decorated models section and each model's install section.
    for (const char* section : {"ClassInstall32", "Kt40Install.NT", "Kt40Install.NT.HW", "Kt40Install.Service"})
        for (const char* key : {"AddReg", "CopyFiles"})
            for (const auto& name : inf.Values(section, key)) EXPECT_TRUE(inf.Has(name)) << key << " = " << name;
    const auto manufacturer = inf.Section("Manufacturer");
    ASSERT_EQ(manufacturer.size(), 1u);
    ASSERT_EQ(manufacturer[0].values.size(), 2u);
    EXPECT_EQ(manufacturer[0].values[1], "NTamd64");
    const std::string models = manufacturer[0].values[0] + "." + manufacturer[0].values[1];
    ASSERT_TRUE(inf.Has(models));
    ASSERT_FALSE(inf.Section(models).empty());
    for (const auto& model : inf.Section(models)) {
        ASSERT_GE(model.values.size(), 2u);
        EXPECT_TRUE(inf.Has(model.values[0] + ".NT")) << model.values[0];
        EXPECT_TRUE(inf.Has(model.values[0] + ".NT.Services")) << model.values[0];
    }
}

// The PCI bus driver reports PCI\VEN_v&DEV_d&SUBSYS_s (s: the dword at 0x2C,
// subsystem device then subsystem vendor) and PCI\VEN_v&DEV_d; the INF must
// name the adapter by those.
TEST_F(InfFile, HardwareIdsAreTheAdaptersConfigurationSpace) {
    auto& hw = kt40sim::Adapter::instance();
    const uint32_t ids = hw.pciConfigRead(0x00);
    const std::string device = "PCI\\VEN_" + Hex(ids & 0xFFFF, 4) + "&DEV_" + Hex(ids >> 16, 4);
    const std::string subsystem = device + "&SUBSYS_" + Hex(hw.pciConfigRead(0x2C), 8);
    EXPECT_EQ(device, "PCI\\VEN_4B54&DEV_0040");

    const auto models = inf.Section("Kt40Models.NTamd64");
    ASSERT_EQ(models.size(), 1u);
    const std::vector<std::string> hardwareIds(models[0].values.begin() + 1, models[0].values.end());
    EXPECT_EQ(hardwareIds, (std::vector<std::string>{subsystem, device}));
}

TEST_F(InfFile, InstallsTheDriverAsTheAdaptersServiceFromTheFileTheBuildMakes) {
    // The service the tests load the driver under.
    const std::wstring path = kt40kernel::Kernel::servicePath();
    const std::string service(path.begin() + static_cast<long>(path.rfind(L'\\') + 1), path.end());

    const auto addService = inf.Values("Kt40Install.NT.Services", "AddService");
    ASSERT_EQ(addService.size(), 3u);
    EXPECT_EQ(addService[0], service);
    EXPECT_EQ(std::stoul(addService[1], nullptr, 16) & 0x2, 0x2u) << "not the device's function driver";
    const std::string& serviceSection = addService[2];
    EXPECT_EQ(inf.Value(serviceSection, "ServiceType"), "1");
    EXPECT_EQ(inf.Value(serviceSection, "StartType"), "3");
    EXPECT_EQ(inf.Value(serviceSection, "ErrorControl"), "1");

    // The binary: what the version resource calls the file, copied from the
    // disk and started from the drivers folder.
    std::ifstream rc(KT40DRV_SOURCE_DIR "/kt40drv.rc");
    std::stringstream rcText;
    rcText << rc.rdbuf();
    const std::string rcString = rcText.str();
    const std::string key = "VALUE \"OriginalFilename\",";
    const size_t value = rcString.find(key);
    ASSERT_NE(value, std::string::npos);
    const size_t open = rcString.find('"', value + key.size());
    const size_t close = rcString.find('"', open + 1);
    ASSERT_NE(close, std::string::npos);
    const std::string binary = rcString.substr(open + 1, close - open - 1);
    EXPECT_EQ(binary, service + ".sys");
    EXPECT_EQ(inf.Value(serviceSection, "ServiceBinary"), "%12%\\" + binary);
    EXPECT_EQ(inf.Value("DestinationDirs", "DefaultDestDir"), "12");
    const auto copied = inf.Section(inf.Value("Kt40Install.NT", "CopyFiles"));
    ASSERT_EQ(copied.size(), 1u);
    EXPECT_EQ(copied[0].values[0], binary);
    const auto disk = inf.Values("SourceDisksFiles", binary);
    ASSERT_FALSE(disk.empty());
    EXPECT_FALSE(inf.Values("SourceDisksNames", disk[0]).empty()) << "disk " << disk[0] << " is not named";

    // The one setting the driver reads, under its service key.
    const auto parameters = inf.Section(inf.Value(serviceSection, "AddReg"));
    ASSERT_EQ(parameters.size(), 1u);
    EXPECT_EQ(parameters[0].values,
              (std::vector<std::string>{"HKR", "Parameters", "BreakOnEntry", "0x00010003", "0"}));
}

// The device's hardware key: its security descriptor and characteristics,
// which the PnP manager applies to the device objects of its stack.
TEST_F(InfFile, OnlyTheSystemAdministratorsAndOperatorsMayOpenTheDevice) {
    const auto entries = inf.Section(inf.Value("Kt40Install.NT.HW", "AddReg"));
    std::string sddl, characteristics;
    for (const auto& e : entries) {
        ASSERT_GE(e.values.size(), 5u);
        EXPECT_EQ(e.values[0], "HKR");
        EXPECT_EQ(e.values[1], "");
        if (e.values[2] == "Security") sddl = e.values[4];
        if (e.values[2] == "DeviceCharacteristics" && e.values[3] == "0x10001") characteristics = e.values[4];
    }
    EXPECT_EQ(characteristics, "0x100");  // FILE_DEVICE_SECURE_OPEN
    // Protected (no inherited entries), and exactly these allow entries.
    ASSERT_EQ(sddl.rfind("\"D:P", 0), 0u) << sddl;
    std::set<std::string> aces;
    for (size_t at = sddl.find('('); at != std::string::npos; at = sddl.find('(', at + 1))
        aces.insert(sddl.substr(at, sddl.find(')', at) + 1 - at));
    EXPECT_EQ(aces, (std::set<std::string>{"(A;;GA;;;SY)", "(A;;GA;;;BA)", "(A;;GRGW;;;PU)"}));
}

}  // namespace
