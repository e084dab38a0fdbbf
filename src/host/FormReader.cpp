// Reading form files (format: host/FormFile.h). The whole text is parsed
// before the first component is made, so a syntax error builds nothing.
#include "host/FormFile.h"

#include "host/Exception.h"
#include "host/Properties.h"

#include <charconv>
#include <functional>

namespace host {

namespace {

[[noreturn]] void Fail(int line, const std::string &what)
{
    throw Exception(FromUtf8("Form file line " + std::to_string(line) + ": " + what));
}

// ---- Tokens ---------------------------------------------------------------

enum class Tok { End, Ident, Text, Integer, Symbol };

struct Token {
    Tok kind = Tok::End;
    int line = 0;
    std::string ident; // Ident: the word; Symbol: the character
    String text;       // Text: the decoded string
    std::int64_t integer = 0;
};

class Lexer {
public:
    explicit Lexer(std::string_view src) : src_(src) {}

    Token Next()
    {
        SkipBlanks();
        Token t;
        t.line = line_;
        if (pos_ >= src_.size())
            return t;
        const char c = src_[pos_];
        if (IsIdentStart(c)) {
            t.kind = Tok::Ident;
            while (pos_ < src_.size() && (IsIdentStart(src_[pos_]) || IsDigit(src_[pos_])))
                t.ident += src_[pos_++];
        } else if (c == '\'' || c == '#') {
            t.kind = Tok::Text;
            t.text = ReadText();
        } else if (IsDigit(c) || (c == '-' && pos_ + 1 < src_.size() && IsDigit(src_[pos_ + 1]))) {
            t.kind = Tok::Integer;
            t.integer = ReadInteger();
        } else if (std::string_view("=:[](),+").find(c) != std::string_view::npos) {
            t.kind = Tok::Symbol;
            t.ident = std::string(1, c);
            ++pos_;
        } else {
            Fail(line_, std::string("unexpected character '") + c + "'");
        }
        return t;
    }

private:
    static bool IsIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    void SkipBlanks()
    {
        while (pos_ < src_.size()) {
            const char c = src_[pos_];
            if (c == '\n')
                ++line_;
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                break;
            ++pos_;
        }
    }

    std::int64_t ReadInteger()
    {
        const size_t start = pos_;
        if (src_[pos_] == '-')
            ++pos_;
        while (pos_ < src_.size() && IsDigit(src_[pos_]))
            ++pos_;
        std::int64_t value = 0;
        const auto [end, ec] = std::from_chars(src_.data() + start, src_.data() + pos_, value);
        if (ec != std::errc() || end != src_.data() + pos_)
            Fail(line_, "number out of range");
        return value;
    }

    // A run of 'quoted' pieces and #N code units, with nothing between them.
    String ReadText()
    {
        String out;
        while (pos_ < src_.size()) {
            if (src_[pos_] == '\'') {
                ++pos_;
                std::string piece;
                for (;;) {
                    if (pos_ >= src_.size() || src_[pos_] == '\n' || src_[pos_] == '\r')
                        Fail(line_, "text not closed before the end of the line");
                    if (src_[pos_] == '\'') {
                        if (pos_ + 1 < src_.size() && src_[pos_ + 1] == '\'') {
                            piece += '\'';
                            pos_ += 2;
                            continue;
                        }
                        ++pos_;
                        break;
                    }
                    piece += src_[pos_++];
                }
                out += FromUtf8(piece);
            } else if (src_[pos_] == '#') {
                ++pos_;
                const size_t start = pos_;
                while (pos_ < src_.size() && IsDigit(src_[pos_]))
                    ++pos_;
                unsigned value = 0;
                const auto [end, ec] = std::from_chars(src_.data() + start, src_.data() + pos_, value);
                if (start == pos_ || ec != std::errc() || value > 0xFFFF)
                    Fail(line_, "'#' needs a character code from 0 to 65535");
                out += static_cast<char16_t>(value);
            } else {
                break;
            }
        }
        return out;
    }

    std::string_view src_;
    size_t pos_ = 0;
    int line_ = 1;
};

// ---- Syntax tree ----------------------------------------------------------

struct ValueNode {
    enum Kind { Text, Ident, Integer, SetList, Lines } kind = Text;
    String text;
    std::string ident;
    std::int64_t integer = 0;
    std::vector<std::string> members;
    std::vector<String> lines;
};

struct PropNode {
    std::string name;
    int line = 0;
    ValueNode value;
};

struct ObjectNode {
    std::string name;
    std::string cls;
    int line = 0;
    std::vector<PropNode> props;
    std::vector<ObjectNode> children;
};

class Parser {
public:
    explicit Parser(std::string_view src) : lex_(src) { Advance(); }

    ObjectNode ParseForm()
    {
        ObjectNode root = ParseObject();
        if (cur_.kind != Tok::End)
            Fail(cur_.line, "text after the last 'end'");
        return root;
    }

private:
    void Advance() { cur_ = lex_.Next(); }

    bool IsSymbol(char c) const { return cur_.kind == Tok::Symbol && cur_.ident[0] == c; }
    bool IsWord(std::string_view w) const { return cur_.kind == Tok::Ident && cur_.ident == w; }

    void Expect(char c, const char *where)
    {
        if (!IsSymbol(c))
            Fail(cur_.line, std::string("expected '") + c + "' " + where);
        Advance();
    }

    std::string ExpectIdent(const char *what)
    {
        if (cur_.kind != Tok::Ident)
            Fail(cur_.line, std::string("expected ") + what);
        std::string word = cur_.ident;
        Advance();
        return word;
    }

    ObjectNode ParseObject(int depth = 0)
    {
        ObjectNode node;
        node.line = cur_.line;
        if (depth >= kMaxFormDepth)
            Fail(cur_.line, "components nest deeper than " + std::to_string(kMaxFormDepth) + " levels");
        if (!IsWord("object"))
            Fail(cur_.line, "expected 'object'");
        Advance();
        std::string first = ExpectIdent("a component name or class");
        if (IsSymbol(':')) {
            Advance();
            node.name = std::move(first);
            node.cls = ExpectIdent("a class name after ':'");
        } else {
            node.cls = std::move(first);
        }
        for (;;) {
            if (cur_.kind == Tok::End)
                Fail(cur_.line, "missing 'end' of the object started on line " + std::to_string(node.line));
            if (IsWord("end")) {
                Advance();
                return node;
            }
            if (IsWord("object")) {
                node.children.push_back(ParseObject(depth + 1));
                continue;
            }
            PropNode prop;
            prop.line = cur_.line;
            prop.name = ExpectIdent("a property name, 'object' or 'end'");
            Expect('=', "after the property name");
            prop.value = ParseValue();
            node.props.push_back(std::move(prop));
        }
    }

    String ParseText()
    {
        String text = cur_.text;
        Advance();
        while (IsSymbol('+')) {
            Advance();
            if (cur_.kind != Tok::Text)
                Fail(cur_.line, "expected text after '+'");
            text += cur_.text;
            Advance();
        }
        return text;
    }

    ValueNode ParseValue()
    {
        ValueNode v;
        if (cur_.kind == Tok::Text) {
            v.kind = ValueNode::Text;
            v.text = ParseText();
        } else if (cur_.kind == Tok::Ident) {
            v.kind = ValueNode::Ident;
            v.ident = cur_.ident;
            Advance();
        } else if (cur_.kind == Tok::Integer) {
            v.kind = ValueNode::Integer;
            v.integer = cur_.integer;
            Advance();
        } else if (IsSymbol('[')) {
            v.kind = ValueNode::SetList;
            Advance();
            while (!IsSymbol(']')) {
                v.members.push_back(ExpectIdent("a set member or ']'"));
                if (!IsSymbol(']'))
                    Expect(',', "between set members");
            }
            Advance();
        } else if (IsSymbol('(')) {
            v.kind = ValueNode::Lines;
            Advance();
            while (!IsSymbol(')')) {
                if (cur_.kind != Tok::Text)
                    Fail(cur_.line, "expected a quoted line or ')'");
                v.lines.push_back(ParseText());
            }
            Advance();
        } else {
            Fail(cur_.line, "expected a property value");
        }
        return v;
    }

    Lexer lex_;
    Token cur_;
};

} // namespace

// ---- Building the components ----------------------------------------------

class TFormReader {
public:
    explicit TFormReader(const TFormReadOptions &options) : options_(options) {}

    std::unique_ptr<TComponent> Build(const ObjectNode &root)
    {
        CheckClasses(root);
        std::unique_ptr<TComponent> form(Create(root, nullptr));
        ReadObject(*form, root);
        Fixup(*form);
        for (TComponent *c : loaded_)
            c->SetStateFlag(TComponentStateFlag::csReading, false);
        for (TComponent *c : loaded_)
            c->Loaded();
        return form;
    }

private:
    struct PendingReference {
        TComponent *component;
        const TPropertyInfo *property;
        std::string target;
        int line;
    };

    static const TComponentClass &ClassOf(const ObjectNode &node)
    {
        const TComponentClass *cls = FindClass(node.cls);
        if (cls == nullptr || cls->Create == nullptr)
            Fail(node.line, "unknown component class '" + node.cls + "'");
        return *cls;
    }

    // Every class is known before the first component is made.
    static void CheckClasses(const ObjectNode &node)
    {
        ClassOf(node);
        for (const ObjectNode &child : node.children)
            CheckClasses(child);
    }

    TComponent *Create(const ObjectNode &node, TComponent *owner)
    {
        TComponent *c = ClassOf(node).Create(owner);
        // An owned component goes with its owner; the root needs a guard of its own.
        std::unique_ptr<TComponent> guard(owner == nullptr ? c : nullptr);
        c->SetStateFlag(TComponentStateFlag::csLoading, true);
        c->SetStateFlag(TComponentStateFlag::csReading, true);
        if (options_.Designing)
            c->SetStateFlag(TComponentStateFlag::csDesigning, true);
        loaded_.push_back(c);
        try {
            c->SetName(FromUtf8(node.name));
        } catch (const Exception &e) {
            Fail(node.line, ToUtf8(e.Message()));
        }
        guard.release();
        return c;
    }

    void ReadObject(TComponent &c, const ObjectNode &node)
    {
        for (const PropNode &prop : node.props)
            ReadProperty(c, prop);
        for (const ObjectNode &child : node.children)
            ReadObject(*Create(child, &c), child);
    }

    void ReadProperty(TComponent &c, const PropNode &prop)
    {
        const TComponentClass &cls = c.ClassType();
        const TPropertyInfo *p = cls.FindProperty(prop.name);
        if (p == nullptr)
            Fail(prop.line, "unknown property '" + prop.name + "' of " + std::string(cls.Name));
        if (p->Put == nullptr)
            Fail(prop.line, "property '" + prop.name + "' is read-only");
        if (p->Kind == TPropertyKind::pkComponent) {
            if (prop.value.kind != ValueNode::Ident)
                Mismatch(prop, "a component name");
            if (prop.value.ident != "nil")
                pending_.push_back({&c, p, prop.value.ident, prop.line});
            else
                p->Put(c, static_cast<TComponent *>(nullptr));
            return;
        }
        // Exceptions of the setter itself pass on unchanged.
        p->Put(c, Convert(*p, prop));
    }

    [[noreturn]] static void Mismatch(const PropNode &prop, const char *expected)
    {
        Fail(prop.line, "property '" + prop.name + "' needs " + expected);
    }

    static TPropertyValue Convert(const TPropertyInfo &p, const PropNode &prop)
    {
        const ValueNode &v = prop.value;
        switch (p.Kind) {
        case TPropertyKind::pkText:
            if (v.kind != ValueNode::Text)
                Mismatch(prop, "a quoted text");
            return v.text;
        case TPropertyKind::pkBoolean:
            if (v.kind != ValueNode::Ident || (v.ident != "True" && v.ident != "False"))
                Mismatch(prop, "True or False");
            return v.ident == "True";
        case TPropertyKind::pkInteger:
            if (v.kind != ValueNode::Integer)
                Mismatch(prop, "a number");
            return v.integer;
        case TPropertyKind::pkSet: {
            if (v.kind != ValueNode::SetList)
                Mismatch(prop, "a set in brackets");
            TSetValue set;
            for (const std::string &m : v.members) {
                size_t i = 0;
                while (i < p.SetMembers.size() && p.SetMembers[i] != m)
                    ++i;
                if (i == p.SetMembers.size())
                    Fail(prop.line, "'" + m + "' is not a member of property '" + prop.name + "'");
                set.Bits = static_cast<std::uint8_t>(set.Bits | (1u << i));
            }
            return set;
        }
        case TPropertyKind::pkStrings:
            if (v.kind != ValueNode::Lines)
                Mismatch(prop, "lines in parentheses");
            return v.lines;
        case TPropertyKind::pkComponent:
            break;
        }
        Mismatch(prop, "a value of its kind");
    }

    void Fixup(TComponent &root)
    {
        for (const PendingReference &ref : pending_) {
            TComponent *target = FindReference(*ref.component, root, FromUtf8(ref.target));
            if (target == nullptr)
                Fail(ref.line, "no component named '" + ref.target + "' for property '" +
                                   std::string(ref.property->Name) + "'");
            if (!target->ClassType().InheritsFrom(ref.property->ReferenceClass()))
                Fail(ref.line, "'" + ref.target + "' is not a " +
                                   std::string(ref.property->ReferenceClass().Name));
            ref.property->Put(*ref.component, target);
        }
    }

    const TFormReadOptions &options_;
    std::vector<TComponent *> loaded_;
    std::vector<PendingReference> pending_;
};

TComponent *FindReference(const TComponent &from, const TComponent &root, std::u16string_view name)
{
    if (name.empty())
        return nullptr;
    for (const TComponent *scope = &from; scope != nullptr; scope = scope->Owner()) {
        if (TComponent *found = scope->FindComponent(name))
            return found;
        if (scope == &root)
            break;
    }
    // The root has no owner to hold its name: it counts last.
    return SameComponentName(root.Name(), name) ? const_cast<TComponent *>(&root) : nullptr;
}

std::unique_ptr<TComponent> ReadForm(std::string_view text, const TFormReadOptions &options)
{
    const ObjectNode root = Parser(text).ParseForm();
    return TFormReader(options).Build(root);
}

} // namespace host
