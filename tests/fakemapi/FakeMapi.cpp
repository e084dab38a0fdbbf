// The recording Simple MAPI library (see FakeMapi.h).
#include "FakeMapi.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(_WIN32)
#  define FAKEMAPI_EXPORT extern "C" __declspec(dllexport)
#else
#  define FAKEMAPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// ---- Deep copies that own their memory -------------------------------------

// Everything one handed-out block points to. The top pointer is the key the
// caller frees it by.
struct Block {
    std::deque<std::string> texts;
    std::deque<std::vector<unsigned char>> bytes;
    std::deque<MapiRecipDesc> single;
    std::deque<std::vector<MapiRecipDesc>> recipArrays;
    std::deque<std::vector<MapiFileDesc>> fileArrays;
    MapiMessage message{};

    LPSTR Text(const char *s)
    {
        if (s == nullptr)
            return nullptr;
        texts.emplace_back(s);
        return texts.back().data();
    }
    LPVOID Bytes(const void *p, ULONG size)
    {
        if (p == nullptr)
            return nullptr;
        const auto *b = static_cast<const unsigned char *>(p);
        bytes.emplace_back(b, b + size);
        return bytes.back().data();
    }
    void CopyRecip(MapiRecipDesc &to, const MapiRecipDesc &from)
    {
        to = from;
        to.lpszName = Text(from.lpszName);
        to.lpszAddress = Text(from.lpszAddress);
        to.lpEntryID = Bytes(from.lpEntryID, from.ulEIDSize);
    }
    lpMapiRecipDesc Recips(const MapiRecipDesc *from, ULONG count)
    {
        if (from == nullptr || count == 0)
            return nullptr;
        recipArrays.emplace_back(count);
        for (ULONG i = 0; i < count; ++i)
            CopyRecip(recipArrays.back()[i], from[i]);
        return recipArrays.back().data();
    }
    void CopyMessage(const MapiMessage &from)
    {
        message = from;
        message.lpszSubject = Text(from.lpszSubject);
        message.lpszNoteText = Text(from.lpszNoteText);
        message.lpszMessageType = Text(from.lpszMessageType);
        message.lpszDateReceived = Text(from.lpszDateReceived);
        message.lpszConversationID = Text(from.lpszConversationID);
        message.lpOriginator = Recips(from.lpOriginator, from.lpOriginator != nullptr ? 1 : 0);
        message.lpRecips = Recips(from.lpRecips, from.nRecipCount);
        message.lpFiles = nullptr;
        if (from.lpFiles != nullptr && from.nFileCount > 0) {
            fileArrays.emplace_back(from.nFileCount);
            for (ULONG i = 0; i < from.nFileCount; ++i) {
                MapiFileDesc &f = fileArrays.back()[i];
                f = from.lpFiles[i];
                f.lpszPathName = Text(from.lpFiles[i].lpszPathName);
                f.lpszFileName = Text(from.lpFiles[i].lpszFileName);
                f.lpFileType = nullptr;
            }
            message.lpFiles = fileArrays.back().data();
        }
    }
};

struct State {
    std::vector<std::string> calls;
    std::map<std::string, std::deque<ULONG>> results;
    LHANDLE logonHandle = 0x5E55;
    std::deque<std::string> foundIds;
    std::deque<std::string> savedIds;
    std::deque<std::unique_ptr<Block>> readMessages; // null entry: success without a record
    std::deque<std::unique_ptr<Block>> resolved;
    std::deque<std::unique_ptr<Block>> addressAnswers;
    std::deque<ULONG> addressCounts;
    std::map<const void *, std::unique_ptr<Block>> live;
    size_t handedOut = 0;
    size_t badFrees = 0;
    std::map<std::string, unsigned> sleeps; // milliseconds, before the next answer
    std::set<std::string> chatters;         // the next call writes to standard output
};

State &S()
{
    static State state;
    return state;
}

// Text on the process's standard output and error, through the C runtime
// and (on Windows) the system's handles, as a chatty mail client writes it.
void Chatter(const char *function)
{
    std::printf("%s: chatter on standard output\n", function);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: chatter on standard error\n", function);
#if defined(_WIN32)
    const char line[] = "chatter through the standard output handle\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, sizeof line - 1, &written, nullptr);
#endif
}

ULONG NextResult(const char *function)
{
    if (S().chatters.erase(function) > 0)
        Chatter(function);
    const auto sleep = S().sleeps.find(function);
    if (sleep != S().sleeps.end()) {
        const unsigned ms = sleep->second;
        S().sleeps.erase(sleep);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    auto &queue = S().results[function];
    if (queue.empty())
        return SUCCESS_SUCCESS;
    const ULONG result = queue.front();
    queue.pop_front();
    return result;
}

void *HandOut(std::unique_ptr<Block> block, void *top)
{
    S().live[top] = std::move(block);
    ++S().handedOut;
    return top;
}

// Set from FAKEMAPI_LOG at load: every recorded line is appended there too,
// for a test whose calls reach this library in another process.
std::string &LogPath()
{
    static std::string path;
    return path;
}

void AppendToLog(const std::string &line)
{
    if (LogPath().empty())
        return;
    if (std::FILE *log = std::fopen(LogPath().c_str(), "ab")) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
}

// ---- Recording -------------------------------------------------------------

class Line {
public:
    explicit Line(const char *function) : text_(function) {}

    Line &Num(const char *key, unsigned long long value)
    {
        return Raw(key, std::to_string(value));
    }
    Line &Hex(const char *key, unsigned long long value)
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", value);
        return Raw(key, buf);
    }
    Line &Text(const std::string &key, const char *value)
    {
        if (value == nullptr)
            return Raw(key, "null");
        std::string quoted = "\"";
        for (const char *p = value; *p != '\0'; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            if (c == '"' || c == '\\') {
                quoted += '\\';
                quoted += static_cast<char>(c);
            } else if (c < 0x20 || c >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                quoted += buf;
            } else {
                quoted += static_cast<char>(c);
            }
        }
        return Raw(key, quoted + "\"");
    }
    // A wide text: its UTF-16 units, each outside printable ASCII as \uXXXX,
    // so that every unit (a lone surrogate too) can be read back exactly.
    Line &Text(const std::string &key, const WCHAR *value)
    {
        if (value == nullptr)
            return Raw(key, "null");
        std::string quoted = "\"";
        for (const WCHAR *p = value; *p != 0; ++p) {
            const auto unit = static_cast<unsigned>(*p);
            if (unit == '"' || unit == '\\') {
                quoted += '\\';
                quoted += static_cast<char>(unit);
            } else if (unit < 0x20 || unit >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", unit);
                quoted += buf;
            } else {
                quoted += static_cast<char>(unit);
            }
        }
        return Raw(key, quoted + "\"");
    }
    Line &Bytes(const std::string &key, const void *p, ULONG size)
    {
        if (p == nullptr)
            return Raw(key, "null");
        std::string hex;
        for (ULONG i = 0; i < size; ++i) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02x", static_cast<const unsigned char *>(p)[i]);
            hex += buf;
        }
        return Raw(key, "<" + hex + ">");
    }
    // Narrow or wide records alike.
    template <class RecipDesc>
    Line &Recip(const std::string &key, const RecipDesc &r)
    {
        Num((key + ".reserved").c_str(), r.ulReserved);
        Num((key + ".class").c_str(), r.ulRecipClass);
        Text(key + ".name", r.lpszName);
        Text(key + ".address", r.lpszAddress);
        Num((key + ".eidSize").c_str(), r.ulEIDSize);
        return Bytes(key + ".eid", r.lpEntryID, r.ulEIDSize);
    }
    template <class RecipDesc>
    Line &Recips(const std::string &key, const RecipDesc *r, ULONG count)
    {
        if (r == nullptr)
            return Raw(key, "null");
        for (ULONG i = 0; i < count; ++i)
            Recip(key + "[" + std::to_string(i) + "]", r[i]);
        return *this;
    }
    template <class Msg>
    Line &Message(const Msg *m)
    {
        if (m == nullptr)
            return Raw("msg", "null");
        Num("msg.reserved", m->ulReserved);
        Text("msg.subject", m->lpszSubject);
        Text("msg.noteText", m->lpszNoteText);
        Text("msg.messageType", m->lpszMessageType);
        Text("msg.dateReceived", m->lpszDateReceived);
        Text("msg.conversationID", m->lpszConversationID);
        Hex("msg.flags", m->flFlags);
        if (m->lpOriginator == nullptr)
            Raw("msg.originator", "null");
        else
            Recip("msg.originator", *m->lpOriginator);
        Num("msg.recipCount", m->nRecipCount);
        Recips("msg.recips", m->lpRecips, m->nRecipCount);
        Num("msg.fileCount", m->nFileCount);
        if (m->lpFiles == nullptr)
            return Raw("msg.files", "null");
        for (ULONG i = 0; i < m->nFileCount; ++i) {
            const auto &f = m->lpFiles[i];
            const std::string key = "msg.files[" + std::to_string(i) + "]";
            Num((key + ".reserved").c_str(), f.ulReserved);
            Hex((key + ".flags").c_str(), f.flFlags);
            Hex((key + ".position").c_str(), f.nPosition);
            Text(key + ".path", f.lpszPathName);
            Text(key + ".name", f.lpszFileName);
            Raw(key + ".type", f.lpFileType == nullptr ? "null" : "set");
        }
        return *this;
    }
    void Record()
    {
        AppendToLog(text_);
        S().calls.push_back(std::move(text_));
    }
    Line &Raw_(const std::string &key, const std::string &value) { return Raw(key, value); }

private:
    Line &Raw(const std::string &key, const std::string &value)
    {
        text_ += ' ';
        text_ += key;
        text_ += '=';
        text_ += value;
        return *this;
    }
    std::string text_;
};

} // namespace

// ---- Control interface -----------------------------------------------------

extern "C" {

FAKEMAPI_API void FakeMapi_Reset(void) { S() = State(); }

FAKEMAPI_API void FakeMapi_ClearCalls(void) { S().calls.clear(); }

FAKEMAPI_API void FakeMapi_QueueResult(const char *function, ULONG result)
{
    S().results[function].push_back(result);
}

FAKEMAPI_API void FakeMapi_SetLogonHandle(LHANDLE handle) { S().logonHandle = handle; }

FAKEMAPI_API void FakeMapi_QueueFoundId(const char *id) { S().foundIds.emplace_back(id, std::strlen(id) + 1); }

FAKEMAPI_API void FakeMapi_QueueFoundIdBytes(const char *bytes, size_t size)
{
    S().foundIds.emplace_back(bytes, size);
}

FAKEMAPI_API void FakeMapi_QueueSavedId(const char *id) { S().savedIds.emplace_back(id); }

FAKEMAPI_API void FakeMapi_Script(const char *script)
{
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
        std::vector<std::string> f;
        for (size_t at = 0;;) {
            const size_t bar = rest.find('|', at);
            f.push_back(rest.substr(at, bar == std::string::npos ? bar : bar - at));
            if (bar == std::string::npos)
                break;
            at = bar + 1;
        }
        const auto word = [&](size_t i) { return const_cast<char *>(f[i].c_str()); };
        if (verb == "result" || verb == "sleep") {
            const size_t blank = rest.find(' ');
            const std::string function = rest.substr(0, blank);
            const unsigned long n = std::strtoul(rest.c_str() + blank + 1, nullptr, 0);
            if (verb == "result")
                FakeMapi_QueueResult(function.c_str(), static_cast<ULONG>(n));
            else
                S().sleeps[function] = static_cast<unsigned>(n);
        } else if (verb == "chatter") {
            S().chatters.insert(rest);
        } else if (verb == "handle") {
            FakeMapi_SetLogonHandle(static_cast<LHANDLE>(std::strtoull(rest.c_str(), nullptr, 0)));
        } else if (verb == "found") {
            FakeMapi_QueueFoundId(rest.c_str());
        } else if (verb == "saved") {
            FakeMapi_QueueSavedId(rest.c_str());
        } else if (verb == "resolved" && f.size() == 3) {
            MapiRecipDesc r{0, MAPI_TO, word(0), word(1), static_cast<ULONG>(f[2].size()), word(2)};
            FakeMapi_QueueResolved(&r);
        } else if (verb == "address" && f.size() == 2) {
            MapiRecipDesc r{0, MAPI_TO, word(0), word(1), 0, nullptr};
            FakeMapi_QueueAddressAnswer(1, &r);
        } else if (verb == "read" && f.size() == 6) {
            MapiRecipDesc to{0, MAPI_TO, word(2), word(3), 0, nullptr};
            MapiFileDesc file{0, 0, 0xFFFFFFFFu, word(4), word(5), nullptr};
            MapiMessage m{};
            m.lpszSubject = word(0);
            m.lpszNoteText = word(1);
            m.nRecipCount = 1;
            m.lpRecips = &to;
            m.nFileCount = 1;
            m.lpFiles = &file;
            FakeMapi_QueueReadMessage(&m);
        }
    }
}

FAKEMAPI_API void FakeMapi_QueueReadMessage(const MapiMessage *message)
{
    std::unique_ptr<Block> block;
    if (message != nullptr) {
        block = std::make_unique<Block>();
        block->CopyMessage(*message);
    }
    S().readMessages.push_back(std::move(block));
}

FAKEMAPI_API void FakeMapi_QueueResolved(const MapiRecipDesc *recip)
{
    auto block = std::make_unique<Block>();
    block->single.emplace_back();
    block->CopyRecip(block->single.back(), *recip);
    S().resolved.push_back(std::move(block));
}

FAKEMAPI_API void FakeMapi_QueueAddressAnswer(ULONG count, const MapiRecipDesc *recips)
{
    auto block = std::make_unique<Block>();
    block->Recips(recips, count);
    S().addressAnswers.push_back(std::move(block));
    S().addressCounts.push_back(count);
}

FAKEMAPI_API size_t FakeMapi_CallCount(void) { return S().calls.size(); }

FAKEMAPI_API const char *FakeMapi_Call(size_t index)
{
    return index < S().calls.size() ? S().calls[index].c_str() : nullptr;
}

FAKEMAPI_API size_t FakeMapi_BlocksHandedOut(void) { return S().handedOut; }
FAKEMAPI_API size_t FakeMapi_BlocksOutstanding(void) { return S().live.size(); }
FAKEMAPI_API size_t FakeMapi_BadFrees(void) { return S().badFrees; }

} // extern "C"

// ---- The twelve entry points -------------------------------------------------

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPILogon(ULONG_PTR ulUIParam, LPSTR lpszProfileName, LPSTR lpszPassword,
                                          FLAGS flFlags, ULONG ulReserved, LPLHANDLE lplhSession)
{
    Line("MAPILogon").Num("ui", ulUIParam).Text("profile", lpszProfileName).Text("password", lpszPassword)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    // Written before the result is known, so callers are seen to ignore a
    // handle that came with a failure.
    if (lplhSession != nullptr)
        *lplhSession = S().logonHandle;
    return NextResult("MAPILogon");
}

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPILogoff(LHANDLE lhSession, ULONG_PTR ulUIParam, FLAGS flFlags, ULONG ulReserved)
{
    Line("MAPILogoff").Num("session", lhSession).Num("ui", ulUIParam).Hex("flags", flFlags)
        .Num("reserved", ulReserved).Record();
    return NextResult("MAPILogoff");
}

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPISendMail(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiMessage lpMessage,
                                             FLAGS flFlags, ULONG ulReserved)
{
    Line("MAPISendMail").Num("session", lhSession).Num("ui", ulUIParam).Message(lpMessage)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    return NextResult("MAPISendMail");
}

// Beside the twelve, as the platform's newer libraries have it.
#if !defined(FAKEMAPI_WITHOUT_SENDMAILW)
FAKEMAPI_EXPORT ULONG MAPI_CALL MAPISendMailW(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiMessageW lpMessage,
                                              FLAGS flFlags, ULONG ulReserved)
{
    Line("MAPISendMailW").Num("session", lhSession).Num("ui", ulUIParam).Message(lpMessage)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    return NextResult("MAPISendMailW");
}
#endif

#if !defined(FAKEMAPI_WITHOUT_SENDDOCUMENTS)
FAKEMAPI_EXPORT ULONG MAPI_CALL MAPISendDocuments(ULONG_PTR ulUIParam, LPSTR lpszDelimChar, LPSTR lpszFilePaths,
                                                  LPSTR lpszFileNames, ULONG ulReserved)
{
    Line("MAPISendDocuments").Num("ui", ulUIParam).Text("delim", lpszDelimChar).Text("paths", lpszFilePaths)
        .Text("names", lpszFileNames).Num("reserved", ulReserved).Record();
    return NextResult("MAPISendDocuments");
}
#endif

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPIFindNext(LHANDLE lhSession, ULONG_PTR ulUIParam, LPSTR lpszMessageType,
                                             LPSTR lpszSeedMessageID, FLAGS flFlags, ULONG ulReserved,
                                             LPSTR lpszMessageID)
{
    Line("MAPIFindNext").Num("session", lhSession).Num("ui", ulUIParam).Text("type", lpszMessageType)
        .Text("seed", lpszSeedMessageID).Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    // Nothing scripted and no identifier left: the end of the list.
    const bool scripted = !S().results["MAPIFindNext"].empty();
    const ULONG result = NextResult("MAPIFindNext");
    if (!scripted && S().foundIds.empty())
        return MAPI_E_NO_MESSAGES;
    if (result == SUCCESS_SUCCESS && !S().foundIds.empty()) {
        const std::string &id = S().foundIds.front(); // with its zero byte, if any
        std::memcpy(lpszMessageID, id.data(), id.size());
        S().foundIds.pop_front();
    }
    return result;
}

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPIReadMail(LHANDLE lhSession, ULONG_PTR ulUIParam, LPSTR lpszMessageID,
                                             FLAGS flFlags, ULONG ulReserved, lpMapiMessage *lppMessage)
{
    Line("MAPIReadMail").Num("session", lhSession).Num("ui", ulUIParam).Text("id", lpszMessageID)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    const ULONG result = NextResult("MAPIReadMail");
    if (result == SUCCESS_SUCCESS && !S().readMessages.empty()) {
        std::unique_ptr<Block> block = std::move(S().readMessages.front());
        S().readMessages.pop_front();
        if (block != nullptr) {
            MapiMessage *top = &block->message;
            *lppMessage = static_cast<lpMapiMessage>(HandOut(std::move(block), top));
        }
    }
    return result;
}

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPISaveMail(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiMessage lpMessage,
                                             FLAGS flFlags, ULONG ulReserved, LPSTR lpszMessageID)
{
    Line("MAPISaveMail").Num("session", lhSession).Num("ui", ulUIParam).Message(lpMessage)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Text("id", lpszMessageID).Record();
    const ULONG result = NextResult("MAPISaveMail");
    if (result == SUCCESS_SUCCESS && !S().savedIds.empty()) {
        const std::string &id = S().savedIds.front();
        std::memcpy(lpszMessageID, id.c_str(), id.size() + 1);
        S().savedIds.pop_front();
    }
    return result;
}

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPIDeleteMail(LHANDLE lhSession, ULONG_PTR ulUIParam, LPSTR lpszMessageID,
                                               FLAGS flFlags, ULONG ulReserved)
{
    Line("MAPIDeleteMail").Num("session", lhSession).Num("ui", ulUIParam).Text("id", lpszMessageID)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    return NextResult("MAPIDeleteMail");
}

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPIFreeBuffer(LPVOID pv)
{
    const auto it = S().live.find(pv);
    const bool known = it != S().live.end();
    Line("MAPIFreeBuffer").Raw_("block", pv == nullptr ? "null" : known ? "known" : "unknown").Record();
    if (pv == nullptr)
        return SUCCESS_SUCCESS;
    if (!known) {
        ++S().badFrees;
        return MAPI_E_FAILURE;
    }
    // Freed even when a failure is scripted: the caller did its part once.
    S().live.erase(it);
    return NextResult("MAPIFreeBuffer");
}

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPIAddress(LHANDLE lhSession, ULONG_PTR ulUIParam, LPSTR lpszCaption,
                                            ULONG nEditFields, LPSTR lpszLabels, ULONG nRecips,
                                            lpMapiRecipDesc lpRecips, FLAGS flFlags, ULONG ulReserved,
                                            LPULONG lpnNewRecips, lpMapiRecipDesc *lppNewRecips)
{
    Line("MAPIAddress").Num("session", lhSession).Num("ui", ulUIParam).Text("caption", lpszCaption)
        .Num("editFields", nEditFields).Text("labels", lpszLabels).Num("recipCount", nRecips)
        .Recips("recips", lpRecips, nRecips).Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    const ULONG result = NextResult("MAPIAddress");
    if (result == SUCCESS_SUCCESS && !S().addressAnswers.empty()) {
        std::unique_ptr<Block> block = std::move(S().addressAnswers.front());
        const ULONG count = S().addressCounts.front();
        S().addressAnswers.pop_front();
        S().addressCounts.pop_front();
        *lpnNewRecips = count;
        *lppNewRecips = nullptr;
        // A count without entries answers a positive count and a null array.
        if (count > 0 && !block->recipArrays.empty()) {
            MapiRecipDesc *top = block->recipArrays.back().data();
            *lppNewRecips = static_cast<lpMapiRecipDesc>(HandOut(std::move(block), top));
        }
    }
    return result;
}

#if !defined(FAKEMAPI_WITHOUT_DETAILS)
FAKEMAPI_EXPORT ULONG MAPI_CALL MAPIDetails(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiRecipDesc lpRecip,
                                            FLAGS flFlags, ULONG ulReserved)
{
    Line("MAPIDetails").Num("session", lhSession).Num("ui", ulUIParam).Recips("recip", lpRecip, 1)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    return NextResult("MAPIDetails");
}
#endif

FAKEMAPI_EXPORT ULONG MAPI_CALL MAPIResolveName(LHANDLE lhSession, ULONG_PTR ulUIParam, LPSTR lpszName,
                                                FLAGS flFlags, ULONG ulReserved, lpMapiRecipDesc *lppRecip)
{
    Line("MAPIResolveName").Num("session", lhSession).Num("ui", ulUIParam).Text("name", lpszName)
        .Hex("flags", flFlags).Num("reserved", ulReserved).Record();
    const ULONG result = NextResult("MAPIResolveName");
    if (result == SUCCESS_SUCCESS && !S().resolved.empty()) {
        std::unique_ptr<Block> block = std::move(S().resolved.front());
        S().resolved.pop_front();
        MapiRecipDesc *top = &block->single.back();
        *lppRecip = static_cast<lpMapiRecipDesc>(HandOut(std::move(block), top));
    }
    return result;
}

// ---- Driven from another process --------------------------------------------

namespace {

// At load: FAKEMAPI_LOG names the file every recorded line is appended to,
// FAKEMAPI_SCRIPT a script (FakeMapi_Script) to run.
struct Remote {
    Remote()
    {
        if (const char *log = std::getenv("FAKEMAPI_LOG"))
            LogPath() = log;
        if (const char *path = std::getenv("FAKEMAPI_SCRIPT")) {
            if (std::FILE *file = std::fopen(path, "rb")) {
                std::string script;
                char buffer[4096];
                for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
                    script.append(buffer, n);
                std::fclose(file);
                FakeMapi_Script(script.c_str());
            }
        }
    }
} g_remote;

} // namespace
