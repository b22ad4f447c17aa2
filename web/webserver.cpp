#include "webserver.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "metrics.h"
#include "utf8.h"

namespace {

// A run's id: 64 bits from the kernel's random source, in hexadecimal. Two
// runs of the daemon never share one but by a chance of 2^-64.
std::string RandomRunId() {
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random) {
        // No getrandom (an old kernel): the same source through its node.
        const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, &random, sizeof random) != sizeof random) {
            random ^= static_cast<uint64_t>(time(nullptr)) << 20 ^ static_cast<uint64_t>(getpid());
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    char id[17];
    std::snprintf(id, sizeof id, "%016" PRIx64, random);
    return id;
}

// Whether a page's list takes a scanner's scans and events.
bool Wants(const CWebServer::Page& page, const std::string& source) {
    return page.sources.empty() ||
           std::find(page.sources.begin(), page.sources.end(), source) != page.sources.end();
}

// A payment code is spendable by whoever submits it first: it is kept no
// longer than this for pages that come back.
constexpr int kPaymentCodeKeepSeconds = 60;

// How often a server that is going asks its thread again to end.
constexpr long kCloseRetryMillis = 10;

bool JoinedWithin(pthread_t thread, long ms) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += ms * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

}  // namespace

// Never destroyed: a server object of static duration closes its connections
// in its destructor, and the close callback still edits the list then, in
// whatever order the two were built.
std::vector<lws*>& CWebServer::m_conn_list = *new std::vector<lws*>();
std::mutex CWebServer::m_conn_mutex;
std::unordered_map<lws*, CWebServer::Page>& CWebServer::m_pages =
    *new std::unordered_map<lws*, CWebServer::Page>();

CWebServer::CWebServer() = default;

CWebServer::~CWebServer() {
    StopSocetServers();
}

int CWebServer::StopSocetServers() {
    // The timer thread sends too: it goes first.
    if (m_keeper.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_conn_mutex);
            m_keeper_stop = true;
        }
        m_keeper_wake.notify_all();
        m_keeper.join();
    }
    if (m_ws_control != nullptr) {
        // The server thread releases the library itself; then it is joined. A
        // close that comes before the thread has begun its setup finds nothing
        // to close, so it is asked again until the thread has ended.
        m_ws_control->closeWebsocketServer();
        while (m_thread_running && !JoinedWithin(m_thread, kCloseRetryMillis)) {
            m_ws_control->closeWebsocketServer();
        }
        m_thread_running = false;
        WebsocketControl* control = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_conn_mutex);
            std::swap(control, m_ws_control);
        }
        delete control;
    }
    m_gun_count = 0;
    return 0;
}

int CWebServer::StartSocetServers(const char* port) {
    if (m_ws_control == nullptr) {
        m_ws_control = new WebsocketControl();
    }
    m_port = port;
    // Page tokens that can't be checked open no listener: never a server
    // that takes pages unchecked.
    const std::string keys = m_tokens.Load(m_policy.page_tokens);
    if (!keys.empty() && m_policy.refusal.empty()) {
        m_policy.refusal = keys;
    }
    Metrics::Get().page_tokens = m_tokens.enabled();
    if (m_serve_all && m_run.empty()) {
        m_run = RandomRunId();
    }
    m_ws_control->SocketLinkRecvSetCallback(socketPthreadGetDataCall, this);
    m_ws_control->SocketLinkCloseSetCallback(socketPthreadCloseConn);
    m_ws_control->SetNetworkPolicy(m_policy);
    if (m_thread_running || pthread_create(&m_thread, nullptr, socketPthreadStart, this) != 0) {
        std::puts("info:to create Socket pthread Error ");
        return -2;
    }
    m_thread_running = true;
    // The thread is joined when the server goes, rather than detached, so
    // that it never outlives the objects it serves.
    std::puts("pthread_detach ");
    if ((m_serve_all || m_tokens.enabled()) && !m_keeper.joinable()) {
        m_keeper_stop = false;
        m_keeper = std::thread(&CWebServer::TimeLoop, this);
    }
    return 0;
}

void* CWebServer::socketPthreadStart(void* server) {
    if (server == nullptr) {
        return nullptr;
    }
    CWebServer* self = static_cast<CWebServer*>(server);
    self->m_ws_control->setupWebsocketServer(self->m_port.c_str());
    return nullptr;
}

void* CWebServer::socketPthreadGetDataCall(lws* conn, char* text, int size, void* user) {
    CWebServer* self = static_cast<CWebServer*>(user);
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    if (self->m_serve_all) {
        self->TakePageRequest(conn, text, static_cast<size_t>(size));
        return nullptr;
    }
    if (self->m_tokens.enabled()) {
        // One scanner a run: only a SUBSCRIBE with a valid token counts.
        const size_t stored =
            std::min(static_cast<size_t>(size), WebsocketControl::kKeptMessageBytes);
        PageRequest request = ReadPageRequest(text, stored, static_cast<size_t>(size));
        if (!self->Admit(conn, request)) {
            return nullptr;
        }
    }
    if (self->m_gun_count > 0) {
        self->Register(conn);
    } else {
        std::string reply = self->enJsonFormat(-2, 0, std::string());
        self->SendTo(conn, reply);
    }
    return nullptr;
}

void CWebServer::TakePageRequest(lws* conn, const char* text, size_t size) {
    // The text holds the message's first bytes, as many as were kept (a
    // zero byte among them included).
    const size_t stored = std::min(size, WebsocketControl::kKeptMessageBytes);
    PageRequest request = ReadPageRequest(text, stored, size);
    std::string reply;
    if (m_tokens.enabled() && !Admit(conn, request)) {
        return;
    }
    if (request.kind == PageRequest::Kind::kRefused) {
        reply = RefusalMessage(request.error);
        SendTo(conn, reply);
        return;  // registered, or not, as before
    }
    if (!request.after.empty() && request.after_run == m_run && request.after_seq > m_seq) {
        reply = RefusalMessage("After names a scan that this run has not read");
        SendTo(conn, reply);
        return;
    }
    if (request.kind == PageRequest::Kind::kSignal || request.kind == PageRequest::Kind::kDisable ||
        request.kind == PageRequest::Kind::kEnable) {
        // Done without a word; refused with the reason.
        const std::string refused = TakeOrder(conn, request);
        if (!refused.empty()) {
            reply = RefusalMessage(refused);
            SendTo(conn, reply);
        }
        return;
    }
    const bool registered = Register(conn);
    Page& page = m_pages[conn];
    switch (request.kind) {
        case PageRequest::Kind::kSubscribe:
            page.sources = request.sources;
            ReleaseHolds(conn, &page);  // scanners it no longer hears are not its to hold
            if (!request.after.empty()) {
                Resume(conn, page, request);
            }
            break;
        case PageRequest::Kind::kScanners: {
            // Those its token allows: a page limited to some scanners learns
            // nothing of the others.
            std::vector<ServedScanner> open;
            for (const ServedScanner& scanner : m_scanners) {
                if (!page.limited || std::find(page.allowed.begin(), page.allowed.end(),
                                               scanner.name) != page.allowed.end()) {
                    open.push_back(scanner);
                }
            }
            std::sort(open.begin(), open.end(), [](const ServedScanner& a, const ServedScanner& b) {
                return a.name < b.name;
            });
            reply = ScannersMessage(open);
            SendTo(conn, reply);
            break;
        }
        default:
            break;  // any other message: the list stays as it is
    }
    // Told once, as it registers, that no scanner is open (registered all
    // the same): from then on it hears each scanner as it opens.
    if (registered && m_gun_count <= 0) {
        reply = enJsonFormat(-2, 0, std::string());
        SendTo(conn, reply);
    }
}

void CWebServer::Resume(lws* conn, Page& page, const PageRequest& request) {
    uint64_t after = request.after_seq;
    const char* gap = nullptr;
    if (request.after_run != m_run) {
        gap =
            "the daemon started again: scans read since may be lost; the kept scans of this run "
            "follow";
        after = 0;
    } else if (!m_kept.KeptAfter(after, page.sources)) {
        gap = "scans after it are no longer kept; those still kept follow";
    }
    if (gap != nullptr) {
        std::string message = GapMessage(request.after, gap);
        SendTo(conn, message);
    }
    // In order, none that was sent on this connection already.
    for (ScanKeeper::Scan& scan : m_kept.scans()) {
        if (scan.seq > std::max(after, page.last_seq) && Wants(page, scan.source)) {
            std::string message = *scan.message;
            if (SendTo(conn, message, scan.utf8)) {
                page.last_seq = scan.seq;
                scan.reached = true;
            }
        }
    }
}

bool CWebServer::Admit(lws* conn, PageRequest& request) {
    Page& page = m_pages[conn];
    const auto now = std::chrono::steady_clock::now();
    TokenVerdict verdict;
    // A SUBSCRIBE that can't be taken still shows its token: a page whose
    // token is valid is told the SUBSCRIBE's fault.
    const bool subscribe = request.kind == PageRequest::Kind::kSubscribe ||
                           (request.kind == PageRequest::Kind::kRefused && !request.token.empty());
    if (!subscribe) {
        if (page.admitted && now < page.admitted_until) {
            return true;  // a keep-alive, or a request, of a page admitted
        }
        verdict.reason = "missing";
        verdict.why = "a page shows a valid Token in its SUBSCRIBE";
    } else if (request.token_not_text) {
        verdict.reason = "malformed";
        verdict.why = "Token is a string: the signed token";
    } else {
        const int64_t seconds = static_cast<int64_t>(std::time(nullptr));
        verdict = m_tokens.Check(request.token, seconds);
        // A token may limit the scanners: a list within them, or theirs.
        for (const std::string& source : request.sources) {
            if (verdict.reason.empty() && verdict.limited &&
                std::find(verdict.sources.begin(), verdict.sources.end(), source) ==
                    verdict.sources.end()) {
                verdict.reason = "sources";
                verdict.why = "the token does not allow the scanner " + source;
            }
        }
        if (verdict.reason.empty() && verdict.limited && !m_serve_all) {
            // One scanner a run serves whichever is plugged in: a token for
            // some scanners only can't be held to them.
            verdict.reason = "sources";
            verdict.why =
                "the token allows some scanners only, and this daemon serves one "
                "scanner a run, whichever it is";
        }
        if (verdict.reason.empty() && request.kind == PageRequest::Kind::kRefused) {
            return true;  // its refusal (-3) follows; it is admitted by no SUBSCRIBE
        }
        if (verdict.reason.empty()) {
            if (request.sources.empty()) {
                request.sources = verdict.sources;
            }
            page.limited = verdict.limited;
            page.allowed = verdict.sources;
            page.admitted = true;
            // A far "exp" must not overflow the clock: ten years at most.
            const int64_t left = std::min<int64_t>(verdict.expires - seconds, 10 * 365 * 86400);
            page.admitted_until = now + std::chrono::seconds(left);
            m_keeper_wake.notify_all();  // its end may come first
            return true;
        }
    }
    Metrics::Get().CountTokenRefusal(verdict.reason);
    std::string reply = TokenRefusalMessage(verdict.why);
    SendTo(conn, reply);
    return false;
}

void CWebServer::Unregister(lws* conn) {
    m_conn_list.erase(std::remove(m_conn_list.begin(), m_conn_list.end(), conn), m_conn_list.end());
    Metrics::Get().pages_registered = static_cast<int64_t>(m_conn_list.size());
    const auto page = m_pages.find(conn);
    if (page != m_pages.end()) {
        page->second.admitted = false;
        page->second.sources.clear();
    }
    ReleaseHolds(conn);
}

const ServedScanner* CWebServer::OpenScanner(const std::string& name) const {
    for (const ServedScanner& scanner : m_scanners) {
        if (scanner.name == name) {
            return &scanner;
        }
    }
    return nullptr;
}

std::string CWebServer::TakeOrder(lws* conn, const PageRequest& request) {
    const auto page = m_pages.find(conn);
    if (page == m_pages.end() ||
        std::find(m_conn_list.begin(), m_conn_list.end(), conn) == m_conn_list.end()) {
        return "a page subscribes before it tells a scanner anything";
    }
    // The scanners named, each open and in the page's list; no names: every
    // scanner of its list that is open.
    std::vector<const ServedScanner*> scanners;
    for (const std::string& name : request.sources) {
        const ServedScanner* scanner = OpenScanner(name);
        if (scanner == nullptr) {
            return "no scanner " + name + " is open";
        }
        if (!Wants(page->second, name)) {
            return name + " is not in this page's list";
        }
        scanners.push_back(scanner);
    }
    if (request.sources.empty()) {
        for (const ServedScanner& scanner : m_scanners) {
            if (Wants(page->second, scanner.name)) {
                scanners.push_back(&scanner);
            }
        }
    }
    for (const ServedScanner* scanner : scanners) {
        if (request.kind == PageRequest::Kind::kDisable) {
            Disable(*scanner, {conn}, false);
        } else if (request.kind == PageRequest::Kind::kEnable) {
            Enable(*scanner);
        } else {
            // As far as it can: a signal it does not have is no error.
            const auto& signals = scanner->signals;
            if (m_order &&
                std::find(signals.begin(), signals.end(), request.signal) != signals.end()) {
                m_order(scanner->name, request.signal.c_str());
            }
            const auto held = m_disabled.find(scanner->name);
            if (request.signal == "good" && held != m_disabled.end() && held->second.automatic) {
                Enable(*scanner);  // the till took the scan: the next may come
            }
        }
    }
    return std::string();
}

void CWebServer::Disable(const ServedScanner& scanner, const std::vector<lws*>& pages,
                         bool automatic) {
    const bool newly = m_disabled.find(scanner.name) == m_disabled.end();
    Held& held = m_disabled[scanner.name];
    for (lws* page : pages) {
        if (std::find(held.pages.begin(), held.pages.end(), page) == held.pages.end()) {
            held.pages.push_back(page);
        }
    }
    held.automatic = automatic && (newly || held.automatic);
    if (newly) {
        std::printf("%s is disabled\n", scanner.name.c_str());
        if (scanner.can_disable && m_order) {
            m_order(scanner.name, "disable");
        }
    }
}

void CWebServer::Enable(const ServedScanner& scanner) {
    if (m_disabled.erase(scanner.name) == 0) {
        return;
    }
    std::printf("%s is enabled\n", scanner.name.c_str());
    if (scanner.can_disable && m_order) {
        m_order(scanner.name, "enable");
    }
}

bool CWebServer::Register(lws* conn) {
    // A page stands in the list once, however often it writes (a keep-alive,
    // say): a second entry would send it every scan twice.
    if (std::find(m_conn_list.begin(), m_conn_list.end(), conn) != m_conn_list.end()) {
        return false;
    }
    m_conn_list.push_back(conn);
    Metrics::Get().pages_registered = static_cast<int64_t>(m_conn_list.size());
    std::puts("g_conn  get!");
    return true;
}

void CWebServer::ReleaseHolds(lws* conn, const Page* page) {
    // A scanner that no page connected holds disabled any more reads again:
    // a till page that crashed must not leave its lane dead.
    std::vector<std::string> released;
    for (auto& held : m_disabled) {
        if (page != nullptr && Wants(*page, held.first)) {
            continue;  // still in its list
        }
        auto& pages = held.second.pages;
        pages.erase(std::remove(pages.begin(), pages.end(), conn), pages.end());
        if (pages.empty()) {
            released.push_back(held.first);
        }
    }
    for (const std::string& name : released) {
        if (const ServedScanner* scanner = OpenScanner(name)) {
            Enable(*scanner);
        } else {
            m_disabled.erase(name);
        }
    }
}

void* CWebServer::socketPthreadCloseConn(lws* conn) {
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    m_pages.erase(conn);
    if (CWebServer* self = static_cast<CWebServer*>(pWebServer)) {
        self->ReleaseHolds(conn);
    }
    m_conn_list.erase(std::remove(m_conn_list.begin(), m_conn_list.end(), conn), m_conn_list.end());
    Metrics::Get().pages_registered = static_cast<int64_t>(m_conn_list.size());
    std::puts("g_conn over!");
    return nullptr;
}

int CWebServer::ListenerState() const {
    return m_ws_control != nullptr ? m_ws_control->m_started.load() : 0;
}

std::string CWebServer::ListenerProblem() const {
    return m_ws_control != nullptr ? m_ws_control->Problem() : std::string();
}

size_t CWebServer::RegisteredPages() {
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    return m_conn_list.size();
}

int CWebServer::SayGoingAway(int wait_ms) {
    return m_ws_control != nullptr ? m_ws_control->goAway(wait_ms) : 0;
}

int CWebServer::SendStringToWeb(int code, std::string text) {
    if (code == 1) {
        ++m_gun_count;
        return 0;
    }
    if (code == 2) {
        --m_gun_count;
        return 0;
    }
    const unsigned long size = text.size();
    std::string message = enJsonFormat(code, size, std::move(text));
    Broadcast(message);
    return 0;
}

int CWebServer::ScannerOpened(const ServedScanner& scanner) {
    {
        std::lock_guard<std::mutex> lock(m_conn_mutex);
        m_scanners.push_back(scanner);
        m_disabled.erase(scanner.name);  // every scanner starts enabled
        ++m_gun_count;
    }
    std::string event = ScannerEventMessage("added", scanner);
    Broadcast(event, scanner.name);
    return 0;
}

int CWebServer::ScannerGone(const ServedScanner& scanner) {
    {
        std::lock_guard<std::mutex> lock(m_conn_mutex);
        m_scanners.erase(std::remove_if(m_scanners.begin(), m_scanners.end(),
                                        [&scanner](const ServedScanner& open) {
                                            return open.name == scanner.name &&
                                                   open.device == scanner.device;
                                        }),
                         m_scanners.end());
        if (OpenScanner(scanner.name) == nullptr) {
            m_disabled.erase(scanner.name);  // plugged in again, it starts enabled
        }
        --m_gun_count;
    }
    std::string event = ScannerEventMessage("removed", scanner);
    Broadcast(event, scanner.name);
    return 0;
}

int CWebServer::SendScanToWeb(const std::string& source, std::string text,
                              const std::string& symbology, bool payment_code) {
    std::vector<std::string> unreached;
    {
        // Numbered, sent and kept under one lock: every page gets the scans
        // in the order of their Ids, and a resume never crosses a scan.
        std::lock_guard<std::mutex> lock(m_conn_mutex);
        const ServedScanner* scanner = OpenScanner(source);
        if (m_disabled.count(source) != 0) {
            // Not taken: the cashier hears it refused, where it can beep.
            std::printf("a scan from %s was dropped: it is disabled\n", source.c_str());
            if (scanner != nullptr && m_order &&
                std::find(scanner->signals.begin(), scanner->signals.end(), "error") !=
                    scanner->signals.end()) {
                m_order(source, "error");
            }
            return -1;
        }
        const uint64_t seq = ++m_seq;
        std::string message =
            ScanMessage(0, text.size(), text, source, symbology, ScanId(m_run, seq));
        if (message.empty()) {
            return 0;  // out of memory: nothing to send
        }
        const bool utf8 = IsUtf8(message.data(), message.size());  // once, not once a page
        std::vector<lws*> reached;
        for (lws* conn : m_conn_list) {
            Page& page = m_pages[conn];
            if (Wants(page, source) && SendTo(conn, message, utf8)) {
                page.last_seq = seq;
                reached.push_back(conn);
            }
        }
        if (scanner != nullptr && scanner->auto_disable && !reached.empty()) {
            Disable(*scanner, reached, true);  // until one of them takes it
        }
        const auto now = ScanKeeper::Clock::now();
        const int keep = payment_code ? std::min(m_keep_scans_seconds, kPaymentCodeKeepSeconds)
                                      : m_keep_scans_seconds;
        m_kept.Keep({seq, source, std::make_shared<const std::string>(std::move(message)), utf8,
                     now + std::chrono::seconds(keep), !reached.empty()});
        unreached = m_kept.Forget(now);  // with no time to keep it, this one too
    }
    m_keeper_wake.notify_all();  // its time may come first
    TellUnreached(unreached);
    return 0;
}

void CWebServer::TimeLoop() {
    std::unique_lock<std::mutex> lock(m_conn_mutex);
    while (!m_keeper_stop) {
        ScanKeeper::Clock::time_point next = m_kept.NextEnd();
        for (const auto& page : m_pages) {
            if (page.second.admitted) {
                next = std::min(next, page.second.admitted_until);
            }
        }
        if (next == ScanKeeper::Clock::time_point::max()) {
            m_keeper_wake.wait(lock);
        } else {
            m_keeper_wake.wait_until(lock, next);
        }
        const auto now = ScanKeeper::Clock::now();
        // A page whose token expired is told so, and served no more until
        // it shows a fresh one; its connection stays.
        for (auto& page : m_pages) {
            if (page.second.admitted && page.second.admitted_until <= now) {
                Unregister(page.first);
                Metrics::Get().CountTokenRefusal("expired");
                std::string reply = TokenRefusalMessage("token expired");
                SendTo(page.first, reply);
            }
        }
        const std::vector<std::string> unreached = m_kept.Forget(now);
        if (!unreached.empty()) {
            lock.unlock();
            TellUnreached(unreached);
            lock.lock();
        }
    }
}

void CWebServer::TellUnreached(const std::vector<std::string>& sources) {
    for (const std::string& source : sources) {
        std::printf("a scan from %s reached no page\n", source.c_str());
        if (m_unreached) {
            m_unreached(source);
        }
    }
}

void CWebServer::Broadcast(std::string& message, const std::string& source) {
    if (message.empty()) {
        return;  // out of memory: nothing to send
    }
    const bool utf8 = IsUtf8(message.data(), message.size());  // once, not once a page
    std::lock_guard<std::mutex> lock(m_conn_mutex);
    for (lws* conn : m_conn_list) {
        const auto page = source.empty() ? m_pages.end() : m_pages.find(conn);
        if (page == m_pages.end() || Wants(page->second, source)) {
            SendTo(conn, message, utf8);
        }
    }
}

bool CWebServer::SendTo(lws* conn, std::string& message) {
    return SendTo(conn, message, IsUtf8(message.data(), message.size()));
}

bool CWebServer::SendTo(lws* conn, std::string& message, bool utf8) {
    if (message.empty() || m_ws_control == nullptr) {
        return false;
    }
    // A page fails a connection whose text frame is not UTF-8 (a scan in
    // GBK, or bytes passed on unchanged): such a message goes out as a
    // binary frame of the same bytes instead.
    if (utf8) {
        return m_ws_control->doSendText(conn, &message[0], static_cast<int>(message.size())) == 0;
    }
    return m_ws_control->doSendBinary(conn, &message[0], static_cast<int>(message.size())) == 0;
}
