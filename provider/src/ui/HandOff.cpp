#include "ui/HandOff.h"

#include "CancelAfter.h"
#include "Errors.h"
#include "Places.h"
#include "posix/Process.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <glib.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

namespace kelvra_provider {

namespace fs = std::filesystem;

namespace {

// A folder of this user's alone, made when missing: never through a link,
// never one another user owns or may write.
bool PrivateFolder(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Where hand-off copies are kept: under the user's runtime folder (gone
// at logout), else the cache folder; made when `make` (else empty when it
// is not there).
std::string CopiesRoot(bool make = true)
{
    std::string base = XdgFolder("XDG_RUNTIME_DIR", nullptr);
    struct stat st {};
    if (base.empty() || stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        base = XdgFolder("XDG_CACHE_HOME", ".cache");
    if (base.empty())
        return {};
    const std::string kelvra = base + "/kelvra";
    const std::string root = kelvra + "/handoff";
    if (!make)
        return root;
    mkdir(base.c_str(), 0700); // the cache folder may not be there yet
    return PrivateFolder(kelvra) && PrivateFolder(root) ? root : std::string();
}

// A name the mail client's list syntax carries whole: no comma or quote
// (which xdg-email's -compose list would split or end at), no path, no
// control character.
std::string PlainName(const std::string &name)
{
    std::string plain = name;
    for (char &c : plain)
        if (c == ',' || c == '\'' || c == '"' || c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20 ||
            c == 0x7F)
            c = '_';
    return plain.empty() || plain == "." || plain == ".." ? std::string("attachment") : plain;
}

// Copies of the message's attachments for the client, each in a folder of
// its own (two files may have one name), left there for it.
std::vector<std::string> CopiesFor(const Composition &m)
{
    std::vector<std::string> copies;
    if (m.attachments.empty())
        return copies;
    const std::string root = CopiesRoot();
    std::string folder = root + "/XXXXXX";
    if (root.empty() || mkdtemp(folder.data()) == nullptr)
        Refuse("the attachments cannot be copied for the mail client: no private folder under the runtime or "
               "cache folder",
               MAPI_E_ATTACHMENT_WRITE_FAILURE);
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment &a = m.attachments[i];
        const std::string place = folder + "/" + std::to_string(i + 1);
        const std::string copy = place + "/" + PlainName(a.name.empty() ? NarrowPathName(a.path) : a.name);
        std::error_code error;
        if (mkdir(place.c_str(), 0700) != 0 ||
            !fs::copy_file(a.path, copy, fs::copy_options::overwrite_existing, error)) {
            fs::remove_all(folder, error);
            Refuse("the attachment " + a.path + " cannot be copied for the mail client: " +
                       (error ? error.message() : std::string(std::strerror(errno))),
                   MAPI_E_ATTACHMENT_OPEN_FAILURE);
        }
        chmod(copy.c_str(), 0600);
        copies.push_back(copy);
    }
    return copies;
}


// Whether the desktop's mailto handler takes attachments from xdg-email:
// it hands them only to a client it runs with -compose (Thunderbird and
// its rebuilds); any other gets a mailto: URL, where attachments have no
// place. nullopt when no handler is registered (xdg-email then finds its
// own way, or fails).
std::optional<bool> HandlerTakesAttachments()
{
    if (!kelvra_posix::OnPath("xdg-mime"))
        return std::nullopt;
    const auto query = kelvra_posix::RunProgram({"xdg-mime", "query", "default", "x-scheme-handler/mailto"},
                                                std::chrono::seconds(10), 4096);
    if (!query || query->exitCode != 0)
        return std::nullopt;
    const std::string id = query->output.substr(0, query->output.find_first_of("\r\n"));
    if (id.empty() || id.find('/') != std::string::npos)
        return std::nullopt;
    std::vector<std::string> dirs = {XdgFolder("XDG_DATA_HOME", ".local/share")};
    const char *data = std::getenv("XDG_DATA_DIRS");
    gchar **split = g_strsplit(data != nullptr && *data != '\0' ? data : "/usr/local/share:/usr/share", ":", -1);
    for (gchar **d = split; *d != nullptr; ++d)
        dirs.emplace_back(*d);
    g_strfreev(split);
    for (const std::string &dir : dirs) {
        std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> desktop(g_key_file_new(), &g_key_file_free);
        if (dir.empty() ||
            !g_key_file_load_from_file(desktop.get(), (dir + "/applications/" + id).c_str(), G_KEY_FILE_NONE, nullptr))
            continue;
        gchar *exec = g_key_file_get_string(desktop.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_EXEC, nullptr);
        gchar **argv = nullptr;
        bool compose = false;
        if (exec != nullptr && g_shell_parse_argv(exec, nullptr, &argv, nullptr)) {
            const std::string program = fs::path(argv[0]).filename().string();
            compose = program.find("thunderbird") != std::string::npos || program.find("icedove") != std::string::npos;
            g_strfreev(argv);
        }
        g_free(exec);
        return compose;
    }
    return std::nullopt;
}

// Starts xdg-email detached (posix/Process.h): it and the client it runs
// outlive the call and the application, and no signal of a terminal or a
// group meant for the application reaches them. Its exit status comes on a
// pipe of ours; a status within kHandOffWait is a client that answered at
// once, none is a client that has the message.
void StartXdgEmail(const std::vector<std::string> &args, const std::string &errorsFolder)
{
    using kelvra_posix::Fd;
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        Refuse(std::string("xdg-email cannot be started: ") + std::strerror(errno));
    Fd ours(status[0]), theirs(status[1]);
    // What it says on standard error goes to a file with no name, which a
    // client that runs on may keep writing to without harm.
    const Fd errors(open(errorsFolder.empty() ? "/tmp" : errorsFolder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!kelvra_posix::StartDetached(args, errors.fd, theirs.fd))
        Refuse("xdg-email cannot be started: " + std::string(std::strerror(errno)));
    theirs.Close();
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + kHandOffWait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return; // still running: the client has it
        pollfd p{ours.fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        char buffer[64];
        const ssize_t n = read(ours.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        said.append(buffer, static_cast<size_t>(n));
    }
    const int code = std::atoi(said.c_str());
    if (!said.empty() && code == 0)
        return; // done at once: a client that was running took it
    std::string message;
    if (errors.fd >= 0) {
        char buffer[512];
        const ssize_t n = pread(errors.fd, buffer, sizeof buffer, 0);
        if (n > 0)
            message.assign(buffer, static_cast<size_t>(n));
        message = message.substr(0, message.find('\n'));
    }
    Refuse("the mail client could not be reached: xdg-email exited with status " +
           (said.empty() ? std::string("unknown") : std::to_string(code)) +
           (message.empty() ? std::string() : ": " + message));
}

// The text as a mail client reads it: LF line ends (xdg-email makes each LF
// a CR LF of its own).
std::string WithLineFeeds(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

// The session bus's address, when there is one to ask: never a bus
// started for the question (GIO would autolaunch one on X11).
std::string SessionBus()
{
    const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0')
        return address;
    const std::string runtime = XdgFolder("XDG_RUNTIME_DIR", nullptr);
    struct stat st {};
    if (!runtime.empty() && stat((runtime + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        return "unix:path=" + runtime + "/bus";
    return {};
}

// How long the portal is given to start and to answer.
constexpr int kPortalCallMs = 10000;
constexpr auto kPortalAnswer = std::chrono::seconds(10);
constexpr std::chrono::milliseconds kPortalConnect = std::chrono::seconds(10);

template <class T, void (*Free)(T *)>
struct GFree {
    void operator()(T *p) const
    {
        if (p != nullptr)
            Free(p);
    }
};
using Variant = std::unique_ptr<GVariant, GFree<GVariant, g_variant_unref>>;
using Context = std::unique_ptr<GMainContext, GFree<GMainContext, g_main_context_unref>>;

void UnrefFdList(GUnixFDList *list) { g_object_unref(list); }

// A private connection to the session bus, its signals delivered to a main
// context of the call's own (the application's are never touched).
class PortalBus {
public:
    // Connects within the portal's bound: a bus that accepts and never
    // answers fails the hand-off with a reason that names it.
    explicit PortalBus(const std::string &address) : context_(g_main_context_new())
    {
        g_main_context_push_thread_default(context_.get());
        const CancelAfter bound(kPortalConnect);
        GError *error = nullptr;
        connection_ = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, bound.get(), &error);
        g_clear_error(&error);
        if (connection_ == nullptr && bound.Fired()) {
            g_main_context_pop_thread_default(context_.get());
            Refuse("the session bus (" + address + ") did not answer within " + bound.Words() +
                   ": the desktop's email portal cannot be asked");
        }
    }
    ~PortalBus()
    {
        if (subscription_ != 0)
            g_dbus_connection_signal_unsubscribe(connection_, subscription_);
        if (connection_ != nullptr) {
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        }
        while (g_main_context_iteration(context_.get(), FALSE)) {
        }
        g_main_context_pop_thread_default(context_.get());
    }
    PortalBus(const PortalBus &) = delete;
    PortalBus &operator=(const PortalBus &) = delete;

    GDBusConnection *get() const { return connection_; }

    // Whether the bus offers the email portal.
    bool HasEmailPortal() const
    {
        Variant version(g_dbus_connection_call_sync(
            connection_, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", "org.freedesktop.portal.Email", "version"),
            G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, kPortalCallMs, nullptr, nullptr));
        return version != nullptr;
    }

    // Listens for the answer at the request's object path.
    void Await(const std::string &request)
    {
        subscription_ = g_dbus_connection_signal_subscribe(
            connection_, "org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request", "Response",
            request.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            +[](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *parameters,
                gpointer data) {
                guint32 response = 2;
                g_variant_get_child(parameters, 0, "u", &response);
                *static_cast<int *>(data) = static_cast<int>(response);
            },
            &response_, nullptr);
    }
    // The request's answer (0 done, 1 cancelled, 2 failed); -1 for none in time.
    int Response()
    {
        const auto deadline = std::chrono::steady_clock::now() + kPortalAnswer;
        while (response_ < 0 && std::chrono::steady_clock::now() < deadline)
            if (!g_main_context_iteration(context_.get(), FALSE))
                usleep(20 * 1000);
        return response_;
    }

private:
    Context context_;
    GDBusConnection *connection_ = nullptr;
    guint subscription_ = 0;
    int response_ = -1;
};

GVariant *Strings(const std::vector<Mailbox> &list)
{
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("as"));
    for (const Mailbox &m : list)
        g_variant_builder_add(&b, "s", m.address.c_str());
    return g_variant_builder_end(&b);
}

// Through the desktop's email portal: false when the session bus offers
// none (the caller tries xdg-email); raises when the portal refused.
bool ThroughPortal(const Composition &m)
{
    const std::string address = SessionBus();
    if (address.empty())
        return false;
    PortalBus bus(address);
    if (bus.get() == nullptr || !bus.HasEmailPortal())
        return false;
    // The attachments as descriptors of the provider's copies, which the
    // portal hands on to the client.
    const std::vector<std::string> copies = CopiesFor(m);
    std::unique_ptr<GUnixFDList, GFree<GUnixFDList, UnrefFdList>> fds(g_unix_fd_list_new());
    GVariantBuilder handles;
    g_variant_builder_init(&handles, G_VARIANT_TYPE("ah"));
    for (const std::string &copy : copies) {
        const int fd = open(copy.c_str(), O_RDONLY | O_CLOEXEC);
        const gint index = fd < 0 ? -1 : g_unix_fd_list_append(fds.get(), fd, nullptr);
        if (fd >= 0)
            close(fd);
        if (index < 0) {
            g_variant_builder_clear(&handles);
            Refuse("the attachment copy " + copy + " cannot be opened for the mail client", MAPI_E_ATTACHMENT_OPEN_FAILURE);
        }
        g_variant_builder_add(&handles, "h", index);
    }
    // The request's path is known before the call, so its answer is never
    // missed: the sender's unique name, and a token of ours.
    std::string sender = g_dbus_connection_get_unique_name(bus.get());
    sender = sender.substr(sender.find(':') + 1);
    for (char &c : sender)
        if (c == '.')
            c = '_';
    const std::string token = "kelvra" + std::to_string(getpid()) + "_" + std::to_string(g_random_int());
    bus.Await("/org/freedesktop/portal/desktop/request/" + sender + "/" + token);
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&options, "{sv}", "addresses", Strings(m.to));
    g_variant_builder_add(&options, "{sv}", "cc", Strings(m.cc));
    g_variant_builder_add(&options, "{sv}", "bcc", Strings(m.bcc));
    g_variant_builder_add(&options, "{sv}", "subject", g_variant_new_string(m.subject.c_str()));
    g_variant_builder_add(&options, "{sv}", "body", g_variant_new_string(WithLineFeeds(m.body).c_str()));
    g_variant_builder_add(&options, "{sv}", "attachment_fds", g_variant_builder_end(&handles));
    GError *error = nullptr;
    Variant answer(g_dbus_connection_call_with_unix_fd_list_sync(
        bus.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Email",
        "ComposeEmail", g_variant_new("(sa{sv})", "", &options), G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE,
        kPortalCallMs, fds.get(), nullptr, nullptr, &error));
    if (answer == nullptr) {
        const std::string why = error != nullptr ? error->message : "no answer";
        g_clear_error(&error);
        Refuse("the desktop's email portal refused the message: " + why);
    }
    switch (bus.Response()) {
    case 0:
        return true;
    case 1:
        Fail(MAPI_USER_ABORT);
    case -1:
        Refuse("the desktop's email portal gave no answer within " + std::to_string(kPortalAnswer.count()) +
               " seconds; the mail client may still open");
    default:
        Refuse("the desktop's email portal could not open a mail client (is one set for mailto: links?)");
    }
}

// An address xdg-email may carry: the mail client it starts takes its
// arguments as a text of its own syntax (Thunderbird's -compose reads
// to='...',attachment='...'), where a quote, comma or equals sign in an
// address would end its value and start an option. Only letters, digits,
// ". _ + -" and "@" pass (and letters beyond ASCII, as UTF-8).
bool PlainAddress(const std::string &address)
{
    const size_t at = address.find('@');
    if (address.empty() || at == 0 || at == std::string::npos || address.find('@', at + 1) != std::string::npos ||
        at + 1 == address.size())
        return false;
    for (const char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (!(u >= 0x80 || std::isalnum(u) || c == '.' || c == '_' || c == '+' || c == '-' || c == '@'))
            return false;
    }
    return true;
}

void ThroughXdgEmail(const Composition &m)
{
    for (const std::vector<Mailbox> *list : {&m.to, &m.cc, &m.bcc})
        for (const Mailbox &r : *list)
            if (!PlainAddress(r.address))
                Refuse("the address " + r.address +
                           " holds characters a mail client started by xdg-email could read as its own syntax; it "
                           "is not handed over that way (send without the dialog, or use the desktop's email portal)",
                       MAPI_E_INVALID_RECIPS);
    if (!m.attachments.empty() && HandlerTakesAttachments() == false)
        Refuse("the desktop's mail client takes no attachments from a mailto: link, and the message has " +
                   std::to_string(m.attachments.size()) +
                   (m.attachments.size() == 1 ? " attachment" : " attachments") +
                   ": it was not handed over without them (choose a mail client that takes them, or send "
                   "without the dialog)",
               MAPI_E_NOT_SUPPORTED);
    // The text goes as one argument, which the system bounds (32 pages):
    // one longer could not be handed over, so nothing is started.
    const std::string body = WithLineFeeds(m.body);
    const long argumentLimit = 32 * sysconf(_SC_PAGESIZE);
    if (static_cast<long>(body.size()) >= argumentLimit)
        Refuse("the text is " + std::to_string(body.size()) + " bytes, and xdg-email takes it as one argument, which " +
                   "the system bounds to " + std::to_string(argumentLimit - 1) +
                   " bytes: it was not handed over (shorten it, or send without the dialog)",
               MAPI_E_TEXT_TOO_LARGE);
    const std::vector<std::string> copies = CopiesFor(m);
    std::vector<std::string> args = {"xdg-email", "--utf8"};
    if (!m.subject.empty())
        args.insert(args.end(), {"--subject", m.subject});
    if (!body.empty())
        args.insert(args.end(), {"--body", body});
    for (const Mailbox &r : m.cc)
        args.insert(args.end(), {"--cc", r.address});
    for (const Mailbox &r : m.bcc)
        args.insert(args.end(), {"--bcc", r.address});
    for (const std::string &copy : copies)
        args.insert(args.end(), {"--attach", copy});
    for (const Mailbox &r : m.to)
        args.push_back(r.address);
    StartXdgEmail(args, copies.empty() ? CopiesRoot() : fs::path(copies.front()).parent_path().string());
}

} // namespace

void HandToMailClient(const Composition &message)
{
    if (ThroughPortal(message))
        return;
    if (!kelvra_posix::OnPath("xdg-email"))
        Refuse("the compose dialog cannot be shown: no desktop email portal and no xdg-email (apt-get install "
               "xdg-utils)",
               MAPI_E_NOT_SUPPORTED);
    ThroughXdgEmail(message);
}

void RemoveOldHandOffCopies()
{
    const std::string root = CopiesRoot(false);
    struct stat st {};
    if (root.empty() || lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return;
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24);
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(root, error)) {
        std::error_code ignored;
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored) && entry.last_write_time(ignored) < old)
            fs::remove_all(entry.path(), ignored);
    }
}

} // namespace kelvra_provider
