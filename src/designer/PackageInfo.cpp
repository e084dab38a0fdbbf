// The package record's bytes (layout: designer/PackageInfo.h).
#include "designer/PackageInfo.h"

#include "host/Exception.h"

namespace designer {

namespace {

constexpr char kSignature[4] = {'K', 'P', 'K', 'I'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint8_t kPackageModule = 1;
constexpr std::uint8_t kKnownOptions = 0x03;
constexpr std::size_t kMaxCount = 0xFFFF;

// Whether `text` is well-formed UTF-8: the framework's decoding replaces
// whatever is not, so only well-formed text comes back unchanged.
bool IsUtf8(std::string_view text)
{
    return host::ToUtf8(host::FromUtf8(text)) == text;
}

void CheckName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxCount || name.find('\0') != std::string::npos || !IsUtf8(name))
        throw host::Exception(u"A package record name must be 1 to 65535 bytes of UTF-8 without a zero: " +
                              host::FromUtf8(name));
}

class TWriter {
public:
    void U8(std::uint8_t v) { bytes.push_back(v); }
    void U16(std::size_t v)
    {
        bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    }
    void Name(const std::string &name)
    {
        CheckName(name);
        U16(name.size());
        bytes.insert(bytes.end(), name.begin(), name.end());
    }
    std::vector<std::uint8_t> bytes;
};

class TReader {
public:
    explicit TReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    [[noreturn]] void Fail(const std::string &what) const
    {
        throw host::Exception(u"Package record offset " + host::FromAscii(std::to_string(offset_)) + u": " +
                              host::FromUtf8(what));
    }
    std::uint8_t U8(const char *field)
    {
        if (bytes_.size() - offset_ < 1)
            Fail(std::string("ends before the ") + field);
        return bytes_[offset_++];
    }
    std::uint16_t U16(const char *field)
    {
        if (bytes_.size() - offset_ < 2)
            Fail(std::string("ends before the ") + field);
        const auto v = static_cast<std::uint16_t>(bytes_[offset_] | (bytes_[offset_ + 1] << 8));
        offset_ += 2;
        return v;
    }
    std::string Name(const char *field)
    {
        const std::uint16_t size = U16(field);
        if (size == 0)
            Fail(std::string("empty ") + field);
        if (bytes_.size() - offset_ < size)
            Fail(std::string("ends inside the ") + field);
        std::string name(reinterpret_cast<const char *>(bytes_.data() + offset_), size);
        if (name.find('\0') != std::string::npos || !IsUtf8(name))
            Fail(std::string("the ") + field + " is not UTF-8 without a zero");
        offset_ += size;
        return name;
    }
    std::size_t Offset() const { return offset_; }
    bool AtEnd() const { return offset_ == bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

} // namespace

std::vector<std::uint8_t> WritePackageInfo(const TPackageInfo &info)
{
    if (info.Options.Contains(TPackageOption::poDesignOnly) && info.Options.Contains(TPackageOption::poRunOnly))
        throw host::Exception(u"A package cannot be both design-time only and run-time only");
    if (info.Requires.size() > kMaxCount || info.Units.size() > kMaxCount)
        throw host::Exception(u"A package record holds at most 65535 required packages and units");
    TWriter w;
    for (char c : kSignature)
        w.U8(static_cast<std::uint8_t>(c));
    w.U16(kVersion);
    w.U8(kPackageModule);
    w.U8(info.Options.Bits());
    w.U16(info.Requires.size());
    w.U16(info.Units.size());
    for (const std::string &name : info.Requires)
        w.Name(name);
    for (const TPackageUnitInfo &unit : info.Units) {
        if (unit.Kind > TUnitKind::ukStartup)
            throw host::Exception(u"Unknown unit kind of " + host::FromUtf8(unit.Name));
        w.U8(static_cast<std::uint8_t>(unit.Kind));
        w.Name(unit.Name);
    }
    return std::move(w.bytes);
}

TPackageInfo ReadPackageInfo(std::span<const std::uint8_t> bytes)
{
    TReader r(bytes);
    for (char c : kSignature)
        if (r.U8("signature") != static_cast<std::uint8_t>(c))
            r.Fail("not a package record (signature)");
    if (r.U16("layout version") != kVersion)
        r.Fail("unknown layout version");
    if (r.U8("module kind") != kPackageModule)
        r.Fail("unknown module kind");
    const std::uint8_t options = r.U8("options");
    if ((options & ~kKnownOptions) != 0 || options == kKnownOptions)
        r.Fail("unknown or contradicting options");
    TPackageInfo info;
    info.Options = TPackageOptions::FromBits(options);
    const std::uint16_t requiredCount = r.U16("required package count");
    const std::uint16_t units = r.U16("unit count");
    for (std::uint16_t i = 0; i < requiredCount; ++i)
        info.Requires.push_back(r.Name("required package name"));
    for (std::uint16_t i = 0; i < units; ++i) {
        const std::uint8_t kind = r.U8("unit kind");
        if (kind > static_cast<std::uint8_t>(TUnitKind::ukStartup))
            r.Fail("unknown unit kind");
        info.Units.push_back({static_cast<TUnitKind>(kind), r.Name("unit name")});
    }
    if (!r.AtEnd())
        r.Fail("bytes after the last unit");
    return info;
}

} // namespace designer
