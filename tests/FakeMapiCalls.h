// Test-side view of the recording library: parsed call lines, and a fixture
// that points the binding at the library and checks that every block it
// handed out was freed exactly once.
#pragma once

#include "FakeMapi.h"
#include "host/Application.h"
#include "host/OpenDialog.h"
#include "kelvra/Binding.h"

#include <gtest/gtest.h>

#include "kelvra/Errors.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace fake {

// One recorded call: "MAPILogon ui=0 profile=null ...".
struct Call {
    std::string function;
    std::map<std::string, std::string> args; // raw values: null, "quoted", 0x1f, 12, <hex>

    bool Has(const std::string &key) const { return args.count(key) != 0; }
    const std::string &Raw(const std::string &key) const
    {
        static const std::string missing = "<missing>";
        const auto it = args.find(key);
        return it == args.end() ? missing : it->second;
    }
    bool IsNull(const std::string &key) const { return Raw(key) == "null"; }
    // The unescaped text (bytes written \xHH), or nullopt for a null pointer.
    std::optional<std::string> Text(const std::string &key) const { return Quoted<std::string>(key, 'x', 2); }
    // The UTF-16 units of a wide text (written \uHHHH), or nullopt for a
    // null pointer.
    std::optional<std::u16string> WText(const std::string &key) const
    {
        return Quoted<std::u16string>(key, 'u', 4);
    }
    // Text or WText, by the kind of text asked for.
    template <class String>
    std::optional<String> TextAs(const std::string &key) const
    {
        if constexpr (std::is_same_v<String, std::string>)
            return Text(key);
        else
            return WText(key);
    }
    unsigned long long Num(const std::string &key) const { return std::stoull(Raw(key), nullptr, 0); }

private:
    // A quoted raw value unescaped: \ before a character stands for it,
    // `escape` and `digits` hexadecimal digits for one unit.
    template <class String>
    std::optional<String> Quoted(const std::string &key, char escape, int digits) const
    {
        const std::string &raw = Raw(key);
        if (raw == "null" || raw.size() < 2 || raw.front() != '"')
            return std::nullopt;
        String out;
        using Unit = typename String::value_type;
        for (size_t i = 1; i + 1 < raw.size(); ++i) {
            if (raw[i] == '\\' && raw[i + 1] == escape) {
                out += static_cast<Unit>(std::stoi(raw.substr(i + 2, digits), nullptr, 16));
                i += 1 + digits;
            } else if (raw[i] == '\\') {
                out += static_cast<Unit>(raw[++i]);
            } else {
                out += static_cast<Unit>(raw[i]);
            }
        }
        return out;
    }
};

// A recipient of a recorded record: its class, and its name and address
// (nullopt for null) in the record's kind of text.
template <class String>
struct RecordedRecip {
    unsigned long long cls;
    std::optional<String> name, address;
};

// The recorded call's record holds exactly these recipients, in order, none
// with an entry identifier.
template <class String>
void ExpectRecips(const Call &call, const std::vector<RecordedRecip<String>> &expected)
{
    ASSERT_EQ(call.Num("msg.recipCount"), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string key = "msg.recips[" + std::to_string(i) + "]";
        EXPECT_EQ(call.Num(key + ".class"), expected[i].cls);
        EXPECT_EQ(call.TextAs<String>(key + ".name"), expected[i].name);
        EXPECT_EQ(call.TextAs<String>(key + ".address"), expected[i].address);
        EXPECT_EQ(call.Num(key + ".eidSize"), 0u);
        EXPECT_TRUE(call.IsNull(key + ".eid"));
    }
}

inline Call Parse(const std::string &line)
{
    Call call;
    size_t i = line.find(' ');
    call.function = line.substr(0, i);
    while (i != std::string::npos && i < line.size()) {
        ++i;
        const size_t eq = line.find('=', i);
        if (eq == std::string::npos)
            break;
        const std::string key = line.substr(i, eq - i);
        size_t end = eq + 1;
        if (end < line.size() && line[end] == '"') {
            ++end;
            while (end < line.size() && line[end] != '"')
                end += line[end] == '\\' ? 2 : 1;
            ++end;
        } else {
            end = line.find(' ', end);
            if (end == std::string::npos)
                end = line.size();
        }
        call.args[key] = line.substr(eq + 1, end - eq - 1);
        i = end;
    }
    return call;
}

inline std::vector<Call> Calls()
{
    std::vector<Call> calls;
    for (size_t i = 0; i < FakeMapi_CallCount(); ++i)
        calls.push_back(Parse(FakeMapi_Call(i)));
    return calls;
}

inline std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const Call &c : Calls())
        names.push_back(c.function);
    return names;
}

// The last recorded call of `function`.
inline Call Last(const std::string &function)
{
    const auto calls = Calls();
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->function == function)
            return *it;
    ADD_FAILURE() << "no call of " << function;
    return {};
}

// The ErrorCode of the EKelvraError that `call` raises; kNoError if none.
constexpr int kNoError = -12345;
inline int ErrorCodeOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const kelvra::EKelvraError &e) {
        return e.ErrorCode;
    }
    return kNoError;
}

// A recipient record for scripting answers (the fake copies the texts).
inline MapiRecipDesc Recip(ULONG recipClass, const char *name, const char *address)
{
    MapiRecipDesc r{};
    r.ulRecipClass = recipClass;
    r.lpszName = const_cast<char *>(name);
    r.lpszAddress = const_cast<char *>(address);
    return r;
}

// Points MAPIDLL at the recording library and resets it around each test;
// fails the test when a block was left unfreed or freed twice.
class FakeMapiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_NAME;
        FakeMapi_Reset();
    }
    void TearDown() override
    {
        EXPECT_EQ(FakeMapi_BlocksOutstanding(), 0u) << "a block handed out was never freed";
        EXPECT_EQ(FakeMapi_BadFrees(), 0u) << "a block was freed twice, or a pointer never handed out";
    }
};

// The same, with an application main window to parent the platform's
// dialogs; whatever a test installs on the application is taken off again.
class FakeMapiWithWindow : public FakeMapiTest {
protected:
    static constexpr ULONG_PTR kMainWindow = 0xABC0;

    void SetUp() override
    {
        FakeMapiTest::SetUp();
        host::Application().SetHandle(kMainWindow);
    }
    void TearDown() override
    {
        host::Application().SetHandle(0);
        host::Application().SetOnException(nullptr);
        host::SetOpenDialogBackend(nullptr);
        FakeMapiTest::TearDown();
    }
};

} // namespace fake
