// The driver package's INF against the driver: every keyword the driver
// reads is an advanced property with the same name, parameter type and
// default, within what the driver's field can hold; and the INF installs a
// network adapter with the driver's service.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/frame/frame.h"

#ifndef MIREL_INF_PATH
#error "MIREL_INF_PATH must name driver/mirelnd.inf"
#endif

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// An INF file as the system's reader sees it: sections of lines, each line
// an optional key and a list of comma-separated fields. Comments (;) and
// line continuations (\ at the end) are handled, quoted fields keep their
// commas and semicolons, and %name% tokens are replaced from [Strings].
class InfFile {
public:
    struct Line {
        std::string key;  // "" when the line has no "="
        std::vector<std::string> fields;
    };

    static InfFile Load(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        EXPECT_TRUE(in.good()) << "cannot read " << path;
        std::stringstream buffer;
        buffer << in.rdbuf();
        InfFile inf;
        inf.Parse(buffer.str());
        return inf;
    }

    bool Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }

    // The lines of a section (names compare without regard to case), with
    // string tokens replaced.
    std::vector<Line> Section(const std::string& name) const {
        auto it = sections_.find(Lower(name));
        if (it == sections_.end()) return {};
        std::vector<Line> lines;
        for (const RawLine& raw : it->second) {
            Line line;
            line.key = raw.key ? Substitute(*raw.key) : "";
            for (const std::string& field : raw.fields) line.fields.push_back(Substitute(field));
            lines.push_back(line);
        }
        return lines;
    }

    // The fields of the first line with this key (case ignored) in a section.
    std::optional<std::vector<std::string>> Value(const std::string& section, const std::string& key) const {
        for (const Line& line : Section(section)) {
            if (Lower(line.key) == Lower(key)) return line.fields;
        }
        return std::nullopt;
    }

private:
    struct RawLine {
        std::optional<std::string> key;
        std::vector<std::string> fields;  // unquoted, tokens not yet replaced
    };

    void Parse(const std::string& text) {
        std::vector<std::string> lines;
        std::string current;
        std::istringstream in(text);
        std::string physical;
        while (std::getline(in, physical)) {
            if (!physical.empty() && physical.back() == '\r') physical.pop_back();
            current += physical;
            // A backslash as the last character outside a comment joins the
            // next line.
            std::string code = StripComment(current);
            std::string trimmed = Trim(code);
            if (!trimmed.empty() && trimmed.back() == '\\') {
                current = trimmed.substr(0, trimmed.size() - 1);
                continue;
            }
            lines.push_back(code);
            current.clear();
        }
        if (!current.empty()) lines.push_back(StripComment(current));

        std::string section;
        for (const std::string& raw : lines) {
            const std::string line = Trim(raw);
            if (line.empty()) continue;
            if (line.front() == '[') {
                const auto close = line.find(']');
                section = Lower(Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
                sections_[section];
                continue;
            }
            sections_[section].push_back(SplitLine(line));
        }
        for (const RawLine& line : sections_["strings"]) {
            if (line.key && !line.fields.empty()) strings_[Lower(*line.key)] = line.fields[0];
        }
    }

    static std::string StripComment(const std::string& line) {
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == ';' && !quoted) return line.substr(0, i);
        }
        return line;
    }

    // key = field, field, ...   or   field, field, ...
    static RawLine SplitLine(const std::string& line) {
        RawLine result;
        std::vector<std::string> fields;
        std::string field;
        bool quoted = false;
        bool keyDone = false;
        for (std::size_t i = 0; i < line.size(); i++) {
            const char c = line[i];
            if (c == '"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    field += '"';  // "" inside quotes is one quote
                    i++;
                } else {
                    quoted = !quoted;
                }
            } else if (c == '=' && !quoted && !keyDone && fields.empty()) {
                result.key = Trim(field);
                field.clear();
                keyDone = true;
            } else if (c == ',' && !quoted) {
                fields.push_back(Trim(field));
                field.clear();
            } else {
                field += c;
            }
        }
        fields.push_back(Trim(field));
        result.fields = fields;
        return result;
    }

    std::string Substitute(const std::string& text) const {
        std::string out;
        for (std::size_t i = 0; i < text.size(); i++) {
            if (text[i] != '%') {
                out += text[i];
                continue;
            }
            const auto close = text.find('%', i + 1);
            if (close == std::string::npos) {
                out += text.substr(i);
                break;
            }
            const std::string name = text.substr(i + 1, close - i - 1);
            if (name.empty()) {
                out += '%';  // %% is a percent sign
            } else if (auto it = strings_.find(Lower(name)); it != strings_.end()) {
                out += it->second;
            } else {
                out += text.substr(i, close - i + 1);  // dirids such as %12% stay
            }
            i = close;
        }
        return out;
    }

    std::map<std::string, std::vector<RawLine>> sections_;
    std::map<std::string, std::string> strings_;
};

// The install sections of the models the INF lists: section name and the
// hardware identifiers that lead to it.
std::map<std::string, std::vector<std::string>> InstallSections(const InfFile& inf) {
    std::map<std::string, std::vector<std::string>> sections;
    for (const InfFile::Line& manufacturer : inf.Section("Manufacturer")) {
        EXPECT_FALSE(manufacturer.fields.empty());
        if (manufacturer.fields.empty()) continue;
        const std::string models = manufacturer.fields[0];
        EXPECT_TRUE(inf.Has(models)) << "no models section " << models;
        for (const InfFile::Line& model : inf.Section(models)) {
            EXPECT_GE(model.fields.size(), 2u) << "model " << model.key << " has no hardware identifier";
            if (model.fields.empty()) continue;
            auto& ids = sections[model.fields[0]];
            ids.insert(ids.end(), model.fields.begin() + 1, model.fields.end());
        }
    }
    return sections;
}

// Every HKR line of the AddReg sections an install section names.
std::vector<InfFile::Line> RegistryLines(const InfFile& inf, const std::string& installSection) {
    std::vector<InfFile::Line> lines;
    for (const InfFile::Line& line : inf.Section(installSection)) {
        if (Lower(line.key) != "addreg") continue;
        for (const std::string& section : line.fields) {
            EXPECT_TRUE(inf.Has(section)) << "AddReg names a missing section " << section;
            for (const InfFile::Line& entry : inf.Section(section)) lines.push_back(entry);
        }
    }
    return lines;
}

// An advanced property: its values (lower-case names) and its enum entries.
struct Property {
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> enumEntries;
    std::vector<std::string> badFlags;  // value names not written as plain strings
};

// The advanced properties under Ndi\params, by keyword as the INF spells it.
std::map<std::string, Property> AdvancedProperties(const std::vector<InfFile::Line>& lines) {
    const std::string prefix = "ndi\\params\\";
    std::map<std::string, Property> properties;
    for (const InfFile::Line& line : lines) {
        if (line.fields.size() < 5 || Lower(line.fields[0]) != "hkr") continue;
        const std::string& subkey = line.fields[1];
        if (Lower(subkey).rfind(prefix, 0) != 0) continue;
        std::string keyword = subkey.substr(prefix.size());
        const bool isEnum = Lower(keyword).size() > 5 && Lower(keyword).substr(keyword.size() - 5) == "\\enum";
        if (isEnum) keyword = keyword.substr(0, keyword.size() - 5);
        EXPECT_EQ(keyword.find('\\'), std::string::npos) << "unexpected key " << subkey;
        Property& property = properties[keyword];
        // Flags 0: a REG_SZ value, which is how NDIS reads every keyword.
        if (line.fields[3] != "0" && line.fields[3] != "0x00000000") property.badFlags.push_back(line.fields[2]);
        if (isEnum) {
            property.enumEntries[line.fields[2]] = line.fields[4];
        } else {
            property.values[Lower(line.fields[2])] = line.fields[4];
        }
    }
    return properties;
}

std::optional<unsigned long long> ParseNumber(const std::string& text, int base) {
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        const bool digit = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                                      : std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!digit) return std::nullopt;
    }
    return std::strtoull(text.c_str(), nullptr, base);
}

// The largest value the driver's field keeps whole, and the longest text.
unsigned long long FieldMaximum(UCHAR store) {
    switch (store) {
        case KW_STORE_ULONG_LOW8:
        case KW_STORE_UCHAR:
            return 0xFF;
        case KW_STORE_USHORT:
            return 0xFFFF;
        default:
            return 0xFFFFFFFFull;
    }
}

std::size_t TextCapacity(UCHAR store) {
    switch (store) {
        case KW_STORE_NAME:
            return NAME_FIELD_SIZE - 1;
        case KW_STORE_TEXT:
            return VENDOR_DESCRIPTION_SIZE - 1;
        case KW_STORE_KEYS:
            return WEP_KEY_SLOT_SIZE;
        default:
            return 0;
    }
}

class InfTest : public ::testing::Test {
protected:
    void SetUp() override {
        inf_ = InfFile::Load(MIREL_INF_PATH);
        sections_ = InstallSections(inf_);
        ASSERT_EQ(sections_.size(), 1u) << "one install section for the card";
        install_ = sections_.begin()->first;
        properties_ = AdvancedProperties(RegistryLines(inf_, install_));
    }

    InfFile inf_;
    std::map<std::string, std::vector<std::string>> sections_;
    std::string install_;
    std::map<std::string, Property> properties_;
};

TEST_F(InfTest, AdvancedPropertiesAreExactlyTheDriversKeywords) {
    std::set<std::string> keywords;
    for (const REGISTRY_KEYWORD& keyword : RegistryKeywords) keywords.insert(keyword.Text);
    ASSERT_EQ(keywords.size(), static_cast<std::size_t>(REGISTRY_KEYWORD_COUNT));
    std::set<std::string> offered;
    for (const auto& [name, property] : properties_) offered.insert(name);
    // Spelled as the driver spells them; a property the driver does not read
    // would be a setting without effect.
    EXPECT_EQ(offered, keywords);
}

TEST_F(InfTest, EachPropertyHasTheDriversTypeAndDefault) {
    for (const REGISTRY_KEYWORD& keyword : RegistryKeywords) {
        SCOPED_TRACE(keyword.Text);
        auto found = properties_.find(keyword.Text);
        if (found == properties_.end()) {
            ADD_FAILURE() << "no advanced property";
            continue;
        }
        const Property& property = found->second;
        auto value = [&](const char* name) -> std::optional<std::string> {
            auto it = property.values.find(name);
            if (it == property.values.end()) return std::nullopt;
            return it->second;
        };
        EXPECT_EQ(property.badFlags, std::vector<std::string>{}) << "values must be plain strings (flags 0)";
        EXPECT_TRUE(value("paramdesc").has_value() && !value("paramdesc")->empty()) << "no description";
        const std::string type = Lower(value("type").value_or(""));
        const std::optional<std::string> defaultValue = value("default");

        if (keyword.Type == NdisParameterString) {
            EXPECT_EQ(type, "edit");
            const std::size_t capacity = TextCapacity(keyword.Store);
            const auto limit = ParseNumber(value("limittext").value_or(""), 10);
            ASSERT_TRUE(limit.has_value()) << "an edit property needs LimitText";
            EXPECT_LE(*limit, capacity) << "the driver keeps at most " << capacity << " characters";
            if (keyword.DefaultText != nullptr) {
                ASSERT_TRUE(defaultValue.has_value());
                EXPECT_EQ(*defaultValue, keyword.DefaultText);
                EXPECT_LE(defaultValue->size(), *limit);
            } else {
                // No default in the driver: the keyword stays absent unless
                // the user sets it.
                EXPECT_FALSE(defaultValue.has_value()) << "the driver has no default";
                EXPECT_EQ(value("optional").value_or(""), "1") << "must be optional";
            }
            continue;
        }

        ASSERT_TRUE(keyword.Type == NdisParameterInteger || keyword.Type == NdisParameterHexInteger);
        const int base = keyword.Type == NdisParameterHexInteger ? 16 : 10;
        const std::set<std::string> numeric{"int", "long", "word", "dword", "enum"};
        EXPECT_TRUE(numeric.count(type)) << "type " << type << " is not numeric";
        EXPECT_EQ(value("base").value_or("10"), std::to_string(base))
            << "the driver reads the value in base " << base;

        if (keyword.Required) {
            // The driver has no default for it; the INF must not invent one.
            EXPECT_FALSE(defaultValue.has_value()) << "a required keyword has no default";
            EXPECT_NE(value("optional").value_or("0"), "1") << "a required keyword cannot be optional";
        } else {
            ASSERT_TRUE(defaultValue.has_value()) << "no default";
            const auto number = ParseNumber(*defaultValue, base);
            ASSERT_TRUE(number.has_value()) << "default " << *defaultValue << " is not a base-" << base << " number";
            EXPECT_EQ(*number, keyword.Default);
        }

        const unsigned long long fieldMax = FieldMaximum(keyword.Store);
        if (type == "enum") {
            ASSERT_FALSE(property.enumEntries.empty()) << "an enum without entries";
            for (const auto& [entry, text] : property.enumEntries) {
                const auto number = ParseNumber(entry, base);
                EXPECT_TRUE(number.has_value()) << "enum entry " << entry;
                if (number) {
                    EXPECT_LE(*number, fieldMax) << "enum entry " << entry;
                }
                EXPECT_FALSE(text.empty()) << "enum entry " << entry << " has no text";
            }
            if (defaultValue) {
                EXPECT_TRUE(property.enumEntries.count(*defaultValue)) << "the default is not one of the entries";
            }
        } else {
            const auto low = ParseNumber(value("min").value_or(""), base);
            const auto high = ParseNumber(value("max").value_or(""), base);
            ASSERT_TRUE(low.has_value() && high.has_value()) << "a numeric property needs min and max";
            EXPECT_LE(*low, *high);
            EXPECT_LE(*high, fieldMax) << "the driver keeps only " << fieldMax;
            if (defaultValue) {
                const auto number = ParseNumber(*defaultValue, base);
                if (number) {
                    EXPECT_GE(*number, *low) << "default below min";
                    EXPECT_LE(*number, *high) << "default above max";
                }
            }
        }
    }
}

TEST_F(InfTest, InstallsANetworkAdapterWithTheDriversService) {
    EXPECT_EQ(inf_.Value("Version", "Signature"), std::vector<std::string>{"$Windows NT$"});
    EXPECT_EQ(inf_.Value("Version", "Class"), std::vector<std::string>{"Net"});
    const auto guid = inf_.Value("Version", "ClassGUID");
    ASSERT_TRUE(guid.has_value());
    EXPECT_EQ(Lower(guid->at(0)), "{4d36e972-e325-11ce-bfc1-08002be10318}") << "the network adapter class";

    // A PC Card adapter, with a hardware identifier of the card's bus.
    const std::vector<std::string>& ids = sections_.begin()->second;
    ASSERT_FALSE(ids.empty());
    for (const std::string& id : ids) {
        EXPECT_EQ(Lower(id).rfind("pcmcia\\", 0), 0u) << id;
        EXPECT_LE(id.size(), 255u) << "drvupdate takes hardware identifiers of up to 255 characters";
    }

    // The service: a kernel driver from mirelnd.sys, bound as the adapter's
    // function driver, reached by NDIS through the Ndi keys.
    const auto service = inf_.Value(install_ + ".Services", "AddService");
    ASSERT_TRUE(service.has_value()) << "no AddService in " << install_ << ".Services";
    ASSERT_GE(service->size(), 3u);
    EXPECT_EQ(service->at(0), "mirelnd");
    EXPECT_NE(std::strtoul(service->at(1).c_str(), nullptr, 0) & 0x2, 0u) << "the adapter's function driver";
    const std::string serviceSection = service->at(2);
    EXPECT_EQ(inf_.Value(serviceSection, "ServiceType"), std::vector<std::string>{"1"});
    const auto binary = inf_.Value(serviceSection, "ServiceBinary");
    ASSERT_TRUE(binary.has_value());
    EXPECT_EQ(binary->at(0), "%12%\\mirelnd.sys");

    std::map<std::string, std::string> ndi;
    for (const InfFile::Line& line : RegistryLines(inf_, install_)) {
        if (line.fields.size() >= 5 && Lower(line.fields[1]).rfind("ndi", 0) == 0 &&
            Lower(line.fields[1]).rfind("ndi\\params", 0) != 0) {
            ndi[Lower(line.fields[1] + "\\" + line.fields[2])] = line.fields[4];
        }
    }
    EXPECT_EQ(ndi["ndi\\service"], "mirelnd");
    EXPECT_EQ(ndi["ndi\\interfaces\\lowerrange"], "ethernet") << "the driver presents an 802.3 medium";
    EXPECT_EQ(ndi["ndi\\interfaces\\upperrange"], "ndis5");

    // The driver file is copied and can be found on the source disk.
    bool copied = false;
    for (const InfFile::Line& line : inf_.Section(install_)) {
        if (Lower(line.key) != "copyfiles") continue;
        for (const std::string& section : line.fields) {
            for (const InfFile::Line& file : inf_.Section(section)) {
                if (!file.fields.empty() && Lower(file.fields[0]) == "mirelnd.sys") copied = true;
            }
        }
    }
    EXPECT_TRUE(copied) << "mirelnd.sys is not copied";
    EXPECT_TRUE(inf_.Value("SourceDisksFiles", "mirelnd.sys").has_value());
}

}  // namespace
