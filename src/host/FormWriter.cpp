// Writing form files (format: host/FormFile.h).
#include "host/FormFile.h"

#include "host/Exception.h"
#include "host/Properties.h"

namespace host {

namespace {

bool IsQuotable(char16_t c)
{
    return c >= 0x20 && c != 0x7F;
}

bool IsSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

// 'quoted runs' with #N for control characters and lone surrogates.
std::string QuoteText(std::u16string_view text)
{
    if (text.empty())
        return "''";
    std::string out;
    bool inQuote = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        size_t units = 1;
        bool quotable = IsQuotable(c);
        if (IsSurrogate(c)) {
            const bool pair = c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
            quotable = pair;
            units = pair ? 2 : 1;
        }
        if (quotable) {
            if (!inQuote) {
                out += '\'';
                inQuote = true;
            }
            if (c == u'\'')
                out += "''";
            else
                out += ToUtf8(text.substr(i, units));
        } else {
            if (inQuote) {
                out += '\'';
                inQuote = false;
            }
            out += '#';
            out += std::to_string(static_cast<unsigned>(c));
        }
        i += units - 1;
    }
    if (inQuote)
        out += '\'';
    return out;
}

bool InTree(const TComponent &root, const TComponent *c)
{
    for (; c != nullptr; c = c->Owner())
        if (c == &root)
            return true;
    return false;
}

class FormWriter {
public:
    explicit FormWriter(const TComponent &root) : root_(root) {}

    std::string Write()
    {
        WriteObject(root_, 0);
        return std::move(out_);
    }

private:
    void Indent(int depth) { out_.append(static_cast<size_t>(depth) * 2, ' '); }

    void WriteObject(const TComponent &c, int depth)
    {
        if (depth >= kMaxFormDepth)
            throw Exception(u"Cannot store " + c.Name() + u": components nest deeper than " +
                            FromAscii(std::to_string(kMaxFormDepth)) + u" levels");
        Indent(depth);
        out_ += "object ";
        if (!c.Name().empty()) {
            out_ += ToUtf8(c.Name());
            out_ += ": ";
        }
        out_ += c.ClassType().Name;
        out_ += '\n';
        for (const TPropertyInfo &p : c.ClassType().Properties)
            if (p.IsStored(c))
                WriteProperty(c, p, depth + 1);
        for (size_t i = 0; i < c.ComponentCount(); ++i)
            WriteObject(*c.Components(i), depth + 1);
        Indent(depth);
        out_ += "end\n";
    }

    void WriteProperty(const TComponent &c, const TPropertyInfo &p, int depth)
    {
        Indent(depth);
        out_ += p.Name;
        out_ += " = ";
        const TPropertyValue value = p.Get(c);
        switch (p.Kind) {
        case TPropertyKind::pkText:
            out_ += QuoteText(std::get<String>(value));
            break;
        case TPropertyKind::pkBoolean:
            out_ += std::get<bool>(value) ? "True" : "False";
            break;
        case TPropertyKind::pkInteger:
            out_ += std::to_string(std::get<std::int64_t>(value));
            break;
        case TPropertyKind::pkSet: {
            const std::uint8_t bits = std::get<TSetValue>(value).Bits;
            out_ += '[';
            bool first = true;
            for (size_t i = 0; i < p.SetMembers.size(); ++i) {
                if ((bits & (1u << i)) == 0)
                    continue;
                if (!first)
                    out_ += ", ";
                out_ += p.SetMembers[i];
                first = false;
            }
            out_ += ']';
            break;
        }
        case TPropertyKind::pkStrings: {
            const auto &lines = std::get<std::vector<String>>(value);
            out_ += '(';
            for (const String &line : lines) {
                out_ += '\n';
                Indent(depth + 1);
                out_ += QuoteText(line);
            }
            out_ += ')';
            break;
        }
        case TPropertyKind::pkComponent: {
            const TComponent *target = std::get<TComponent *>(value);
            if (target == nullptr) {
                out_ += "nil";
            } else if (target->Name().empty() || !InTree(root_, target) ||
                       FindReference(c, root_, target->Name()) != target) {
                throw Exception(u"Cannot store property " + FromAscii(p.Name) + u" of " + c.Name() +
                                u": it refers to a component outside the form, without a name, or whose name "
                                u"finds another component from there");
            } else {
                out_ += ToUtf8(target->Name());
            }
            break;
        }
        }
        out_ += '\n';
    }

    const TComponent &root_;
    std::string out_;
};

} // namespace

std::string WriteForm(const TComponent &root)
{
    return FormWriter(root).Write();
}

} // namespace host
