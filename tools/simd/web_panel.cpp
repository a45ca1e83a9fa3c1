#include "web_panel.h"

#include <errno.h>
#include <httplib.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "daemon.h"
#include "web_assets.h"

namespace simd {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr size_t kRecentPerClient = 20;  // requests kept per client for the page
constexpr int kMaxEventStreams = 8;      // pages watching at once
constexpr int kMaxDelayMs = 60000;
constexpr size_t kMaxErrorText = 200;
constexpr auto kCommandTimeout = std::chrono::seconds(3);

const char *opcode_name(uint8_t op) {
    if (op == kControlOpcode) return "control";
    const char *name = ipod_opcode_name(op);
    return name != nullptr ? name : "unknown";
}

std::string summary(const Value *v) {
    if (!v) return "no reply";
    switch (v->kind) {
        case Value::Int:
            return std::to_string(v->i);
        case Value::Float:
            return std::to_string(v->f);
        case Value::String:
            return "\"" + v->s.substr(0, 40) + (v->s.size() > 40 ? "...\"" : "\"");
        case Value::Bytes:
            return std::to_string(v->s.size()) + " bytes";
        case Value::Array:
            return "[" + std::to_string(v->items.size()) + " values]";
        case Value::Hash: {
            if (const Value *e = v->find("error"))
                if (e->kind == Value::String) return "error: " + e->s.substr(0, 80);
            std::string keys;
            for (size_t k = 0; k < v->entries.size() && k < 4; k++)
                keys += (k ? ", " : "") + v->entries[k].first;
            return "{" + keys + (v->entries.size() > 4 ? ", ...}" : "}");
        }
    }
    return "";
}

// The daemon's play code, named as the protocol names it.
const char *state_name(int code) {
    const char *name = ipod_play_state_name(code);
    return name != nullptr ? name : "unknown";
}

// A whole decimal number within [min, max].
bool parse_int(const std::string &text, long min, long max, int32_t &out) {
    if (text.empty() || text.size() > 12) return false;
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (*end || v < min || v > max) return false;
    out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

struct WebPanel::Impl {
    explicit Impl(Daemon &d) : daemon(d) {}

    Daemon &daemon;
    CommandQueue commands;
    Snapshot snapshot;
    httplib::Server server;
    std::thread thread;
    std::atomic<int> streams{0};
    // Set before the server starts, read-only afterwards.
    bool loopback = false;
    std::set<std::string> loopback_hosts;
    // The current track, for drawing its artwork on the HTTP side.
    std::mutex track_mutex;
    Track track;

    // Owned by the loop's thread.
    std::map<int, std::deque<json>> recent;
    bool dirty = true;
    Clock::time_point published;

    // ---------------------------------------------------- loop's thread

    std::string execute(const Command &c) {
        Faults &f = daemon.faults();
        if (c.action == "device") return daemon.device_action(c.text, c.arg);
        if (c.action == "delay") {
            f.delay_ms = c.arg;
        } else if (c.action == "drop_next") {
            f.drop_next_reply = true;
        } else if (c.action == "error_next") {
            f.error_next = c.text;
        } else if (c.action == "ignore_pings") {
            f.ignore_pings = c.arg != 0;
        } else if (c.action == "close_client") {
            if (!daemon.close_client(c.arg)) return "no client " + std::to_string(c.arg);
        } else if (c.action == "clear") {
            f = Faults();
        } else {
            return "unknown command";
        }
        return "";
    }

    void on_wake() {
        std::vector<Command> batch = commands.take();
        std::vector<std::string> results;
        for (Command &c : batch) results.push_back(execute(c));
        // Published before the posters hear back, so that what they read
        // next shows their command's effect.
        publish();
        for (size_t k = 0; k < batch.size(); k++) batch[k].done->set_value(results[k]);
    }

    void on_reply(int client, uint32_t tid, uint8_t opcode, const Value *reply) {
        auto &list = recent[client];
        list.push_back({{"tid", tid},
                        {"opcode", opcode},
                        {"name", opcode_name(opcode)},
                        {"result", summary(reply)},
                        {"answered", reply != nullptr}});
        if (list.size() > kRecentPerClient) list.pop_front();
        dirty = true;
    }

    void after_round() {
        if (dirty || Clock::now() - published >= std::chrono::seconds(1)) publish();
    }

    void publish() {
        PanelView v = daemon.view();
        json clients = json::array();
        std::map<int, std::deque<json>> kept;
        for (auto &c : v.clients) {
            auto it = recent.find(c.id);
            json log = json::array();
            if (it != recent.end()) {
                for (auto &e : it->second) log.push_back(e);
                kept[c.id] = std::move(it->second);
            }
            clients.push_back({{"id", c.id}, {"session", c.session}, {"recent", std::move(log)}});
        }
        recent = std::move(kept);
        const Track &t = v.track;
        json j = {{"present", v.present},
                  {"state", static_cast<int>(v.state)},
                  {"state_name", state_name(static_cast<int>(v.state))},
                  {"position_ms", v.position_ms},
                  {"length_ms", t.length_ms},
                  {"title", t.title},
                  {"artist", t.artist},
                  {"album", t.album},
                  {"track_index", v.track_index},
                  {"track_count", v.track_count},
                  {"shuffle", v.shuffle},
                  {"repeat", v.repeat},
                  {"clients", std::move(clients)},
                  {"faults",
                   {{"delay_ms", v.faults.delay_ms},
                    {"drop_next_reply", v.faults.drop_next_reply},
                    {"error_next", v.faults.error_next},
                    {"ignore_pings", v.faults.ignore_pings}}}};
        {
            std::lock_guard<std::mutex> lock(track_mutex);
            track = t;
        }
        // Library texts need not be UTF-8: replaced, never an exception.
        snapshot.publish(j.dump(-1, ' ', false, json::error_handler_t::replace));
        dirty = false;
        published = Clock::now();
    }

    // ---------------------------------------------------- HTTP threads

    static void reply_json(httplib::Response &res, int status, const json &j) {
        res.status = status;
        res.set_content(j.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
    }

    // Posts the command and waits for the loop to run it.
    void run(Command c, httplib::Response &res) {
        auto done = c.done->get_future();
        if (!commands.post(std::move(c)))
            return reply_json(res, 503, {{"ok", false}, {"error", "too many commands waiting"}});
        if (done.wait_for(kCommandTimeout) != std::future_status::ready)
            return reply_json(res, 503, {{"ok", false}, {"error", "the simulator did not answer"}});
        std::string error = done.get();
        if (!error.empty()) return reply_json(res, 409, {{"ok", false}, {"error", error}});
        reply_json(res, 200, {{"ok", true}});
    }

    // An action; its parameters come from the query or a form body.
    void action(const httplib::Request &req, const std::string &group, const std::string &name,
                httplib::Response &res) {
        Command c;
        auto number = [&](const char *param, long min, long max) {
            if (parse_int(req.get_param_value(param), min, max, c.arg)) return true;
            reply_json(res, 400,
                       {{"ok", false},
                        {"error", std::string(param) + " must be a number from " + std::to_string(min) +
                                      " to " + std::to_string(max)}});
            return false;
        };
        if (group == "device") {
            c.action = "device";
            c.text = name;
            if (name == "seek" && !number("ms", 0, 0x7FFFFFFF)) return;
            if ((name == "shuffle" || name == "repeat") && !number("mode", 0, 2)) return;
        } else {
            c.action = name;
            if (name == "delay" && !number("ms", 0, kMaxDelayMs)) return;
            if (name == "ignore_pings" && !number("on", 0, 1)) return;
            if (name == "close_client" && !number("id", 1, 0x7FFFFFFF)) return;
            if (name == "error_next") {
                c.text = req.get_param_value("text");
                if (c.text.empty() || c.text.size() > kMaxErrorText)
                    return reply_json(res, 400,
                                      {{"ok", false}, {"error", "text must hold 1 to 200 characters"}});
            }
        }
        run(std::move(c), res);
    }

    // A POST with neither Content-Length nor Transfer-Encoding has no
    // body (what `curl -X POST` sends); cpp-httplib would wait for one
    // until its read time-out. Such a request is served here at once,
    // its parameters taken from the query. True when it was one.
    bool serve_bodiless_post(const httplib::Request &req, httplib::Response &res) {
        if (req.method != "POST" || req.has_header("Content-Length") || req.has_header("Transfer-Encoding"))
            return false;
        static const std::regex kAction(R"(/api/(device|fault)/(\w+))");
        std::smatch m;
        if (!std::regex_match(req.path, m, kAction)) {
            reply_json(res, 404, {{"ok", false}, {"error", "no such action"}});
            return true;
        }
        action(req, m[1], m[2], res);
        return true;
    }

    void routes() {
        guards();
        for (size_t k = 0; k < kWebAssetCount; k++) {
            const WebAsset &a = kWebAssets[k];
            auto handler = [&a](const httplib::Request &, httplib::Response &res) {
                res.set_content(a.data, a.size, a.type);
            };
            server.Get(a.path, handler);
            if (std::string(a.path) == "/index.html") server.Get("/", handler);
        }
        server.Get("/api/state", [this](const httplib::Request &, httplib::Response &res) {
            res.set_content(snapshot.latest(), "application/json");
        });
        server.Get("/api/artwork",
                   [this](const httplib::Request &req, httplib::Response &res) { artwork(req, res); });
        server.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) { events(res); });
        server.Post(R"(/api/(device|fault)/(\w+))",
                    [this](const httplib::Request &req, httplib::Response &res) {
                        action(req, req.matches[1], req.matches[2], res);
                    });
    }

    void guards() {
        // A page of another site must not press the buttons through the
        // user's browser: a cross-origin POST is refused.
        server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
            // On loopback, a request must name the panel by a loopback
            // address: a page whose own host name has been made to point
            // at 127.0.0.1 (DNS rebinding) is not served.
            if (loopback && !loopback_hosts.count(req.get_header_value("Host"))) {
                reply_json(res, 403, {{"ok", false}, {"error", "unknown host name"}});
                return httplib::Server::HandlerResponse::Handled;
            }
            if (req.method == "POST" && req.has_header("Origin") &&
                req.get_header_value("Origin") != "http://" + req.get_header_value("Host")) {
                reply_json(res, 403, {{"ok", false}, {"error", "cross-origin request refused"}});
                return httplib::Server::HandlerResponse::Handled;
            }
            if (serve_bodiless_post(req, res)) return httplib::Server::HandlerResponse::Handled;
            return httplib::Server::HandlerResponse::Unhandled;
        });
        // Every failure that no handler described (an unknown path, a
        // request that cannot be read) still answers in JSON.
        server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
            if (!res.body.empty()) return;
            std::string what = res.status == 404   ? "no such page"
                               : res.status == 400 ? "malformed request"
                                                   : "request refused";
            reply_json(res, res.status, {{"ok", false}, {"error", what}});
        });
    }

    // The current track's artwork: the same pixels that a client gets,
    // RGB565 little-endian rows.
    void artwork(const httplib::Request &req, httplib::Response &res) {
        int32_t edge = 128;
        if (req.has_param("size") && !parse_int(req.get_param_value("size"), 1, 512, edge))
            return reply_json(res, 400, {{"ok", false}, {"error", "size must be a number from 1 to 512"}});
        Track t;
        {
            std::lock_guard<std::mutex> lock(track_mutex);
            t = track;
        }
        int rowstride = (edge * 2 + 3) & ~3;
        res.set_header("X-Width", std::to_string(edge));
        res.set_header("X-Height", std::to_string(edge));
        res.set_header("X-Rowstride", std::to_string(rowstride));
        res.set_content(draw_artwork(t, edge, rowstride), "application/octet-stream");
    }

    // The state as a stream of server-sent events, one per change.
    void events(httplib::Response &res) {
        if (++streams > kMaxEventStreams) {
            --streams;
            return reply_json(res, 503, {{"ok", false}, {"error", "too many pages open"}});
        }
        res.set_header("Cache-Control", "no-cache");
        auto seen = std::make_shared<uint64_t>(0);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, seen](size_t, httplib::DataSink &sink) {
                std::string j;
                if (!snapshot.wait_newer(*seen, j, std::chrono::milliseconds(1000))) {
                    if (snapshot.stopping()) return false;
                    return sink.write(": idle\n\n", 8);
                }
                std::string message = "data: " + j + "\n\n";
                return sink.write(message.data(), message.size());
            },
            [this](bool) { --streams; });
    }
};

WebPanel::WebPanel(Daemon &daemon) : impl_(new Impl(daemon)) {}

WebPanel::~WebPanel() {
    impl_->snapshot.stop();
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->daemon.set_hooks(LoopHooks());
}

bool WebPanel::start(const std::string &address, int port, std::string &error) {
    Impl &p = *impl_;
    if (p.commands.fd() < 0) {
        error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    p.routes();
    p.server.new_task_queue = [] { return new httplib::ThreadPool(kMaxEventStreams + 8); };
    p.server.set_keep_alive_timeout(2);
    // SO_REUSEADDR only: cpp-httplib's default adds SO_REUSEPORT, with
    // which a second simulator would listen on the same port and the
    // kernel would spread the panel's requests between the two.
    p.server.set_socket_options([](int fd) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    errno = 0;
    if (port == 0)
        port_ = p.server.bind_to_any_port(address);
    else
        port_ = p.server.bind_to_port(address, port) ? port : -1;
    if (port_ <= 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + " for the web panel" +
                (errno ? std::string(": ") + strerror(errno) : std::string());
        return false;
    }
    p.loopback = address == "127.0.0.1" || address == "::1" || address == "localhost";
    for (const char *host : {"127.0.0.1:", "localhost:", "[::1]:"})
        p.loopback_hosts.insert(host + std::to_string(port_));
    LoopHooks hooks;
    hooks.wake_fd = p.commands.fd();
    hooks.on_wake = [&p] { p.on_wake(); };
    hooks.after_round = [&p] { p.after_round(); };
    hooks.on_reply = [&p](int client, uint32_t tid, uint8_t op, const Value *reply) {
        p.on_reply(client, tid, op, reply);
    };
    p.daemon.set_hooks(std::move(hooks));
    p.publish();
    p.thread = std::thread([&p] { p.server.listen_after_bind(); });
    return true;
}

}  // namespace simd
