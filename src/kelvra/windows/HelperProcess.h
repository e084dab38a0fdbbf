// The bridge's helper process and the library's end of its pipe (Windows
// only): started with its pipe as its one inherited handle, greeted, then
// one request and its answer at a time. The pipe is overlapped, so that
// every wait is bounded and notices the process ending.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace kelvra::bridge {

// The helper of the other bitness, beside this library's DLL.
std::wstring HelperPath();

class HelperProcess {
public:
    HelperProcess() = default;
    ~HelperProcess() { End(); }
    HelperProcess(const HelperProcess &) = delete;
    HelperProcess &operator=(const HelperProcess &) = delete;

    bool Running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    // Starts `exe` to load `handler` and reads its greeting; false with a
    // reason when it does not start or refuses.
    bool Launch(const std::wstring &exe, const std::wstring &handler, std::string &why);

    // The entry points the handler has, one bit per Call (BridgeWire.h).
    std::uint32_t Present() const { return present_; }

    // Sends a request and reads its answer; on failure the helper is ended
    // and `unread` tells whether it had ended idle before taking the request.
    bool Exchange(const std::string &request, std::string &answer, std::string &why, bool &unread);

    // Ends it: the end of its input, then, after a second, the process.
    void End();

private:
    bool Transfer(bool write, char *data, DWORD size, std::string &why);
    bool ReadFrame(std::string &frame, std::string &why);
    static BOOL StartOnly(const std::wstring &exe, std::wstring &command, HANDLE inherit, PROCESS_INFORMATION &info,
                          DWORD &error);

    HANDLE process_ = nullptr;
    HANDLE pipe_ = nullptr;
    HANDLE event_ = nullptr;
    std::uint32_t present_ = 0;
};

} // namespace kelvra::bridge
