#include "ScreenServer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "HostCore.h"
#include "ServiceNames.h"
#include "StorePlayer.h"

namespace tvctl {

namespace {

constexpr const char* RESOURCE_PREFIX = "/brenwick/screen";
constexpr size_t MAX_FIELD = 256;
// Pages send it with every action. A header that a form cannot set keeps other web sites that
// the browser has open from driving the television through this server.
constexpr const char* ACTION_HEADER = "X-Screen-Action";

const std::map<std::string, const char*> CONTENT_TYPES = {
    {"html", "text/html; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
};

// Form values go to a console command as they are: one printable line of bounded length.
bool GoodValue(const std::string& value) {
    return value.size() <= MAX_FIELD && std::none_of(value.begin(), value.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
           });
}

struct Form {
    GHashTable* fields;
    std::string problem;  // the first value that was missing or not valid

    // The field's value; "" and a problem when it is required but missing, or not valid.
    std::string Get(const char* name, bool required = true) {
        const char* value =
            fields ? static_cast<const char*>(g_hash_table_lookup(fields, name)) : nullptr;
        std::string text = value ? value : "";
        if (problem.empty() && required && text.empty())
            problem = std::string("missing value '") + name + "'";
        if (problem.empty() && !GoodValue(text))
            problem = std::string("'") + name + "' must be one line of at most " +
                      std::to_string(MAX_FIELD) + " printable characters";
        return text;
    }
};

std::string Trimmed(std::string text) {
    if (text.rfind("tvctl: ", 0) == 0)
        text.erase(0, 7);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace

ScreenServer::ScreenServer()
    : m_server(soup_server_new("server-header", "brenwick-screen ", nullptr)),
      m_state(
          [this](const std::string& event, const Json::Value& data) { Broadcast(event, data); }),
      m_stories(&m_console, [this](const std::string& event, const Json::Value& data) {
          Broadcast(event, data);
      }) {
    soup_server_add_handler(m_server, nullptr, OnRequest, this, nullptr);
    g_signal_connect(m_server, "request-finished", G_CALLBACK(OnRequestEnded), this);
    g_signal_connect(m_server, "request-aborted", G_CALLBACK(OnRequestEnded), this);
    m_watch.reset(new DeviceWatch([this] { m_state.Refresh(); }));
}

ScreenServer::~ScreenServer() {
    if (m_storyEnd)
        g_source_remove(m_storyEnd);
    m_watch.reset();
    for (const auto& waiting : m_waiting)
        g_object_unref(waiting.first);
    g_signal_handlers_disconnect_by_data(m_server, this);
    soup_server_disconnect(m_server);
    g_object_unref(m_server);
}

bool ScreenServer::Listen(GInetAddress* address, int port, std::string* error) {
    GSocketAddress* socketAddress = g_inet_socket_address_new(address, static_cast<guint16>(port));
    GError* failure = nullptr;
    bool listening = soup_server_listen(m_server, socketAddress,
                                        static_cast<SoupServerListenOptions>(0), &failure);
    g_object_unref(socketAddress);
    if (!listening) {
        *error = failure->message;
        g_error_free(failure);
    }
    return listening;
}

std::string ScreenServer::Url() const {
    GSList* uris = soup_server_get_uris(m_server);
    std::string url;
    if (uris) {
        char* text = g_uri_to_string(static_cast<GUri*>(uris->data));
        url = text;
        g_free(text);
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    return url;
}

void ScreenServer::OnRequest(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                             gpointer data) {
    auto* self = static_cast<ScreenServer*>(data);
    std::string method = soup_server_message_get_method(message);
    std::string where = path;
    if (where.rfind("/api/", 0) == 0) {
        if (method != "POST")
            return self->Reply(message, SOUP_STATUS_METHOD_NOT_ALLOWED, false, "use POST");
        if (!soup_message_headers_get_one(soup_server_message_get_request_headers(message),
                                          ACTION_HEADER))
            return self->Reply(message, SOUP_STATUS_FORBIDDEN, false,
                               std::string("actions need the header ") + ACTION_HEADER);
        GBytes* body = soup_message_body_flatten(soup_server_message_get_request_body(message));
        std::string text(static_cast<const char*>(g_bytes_get_data(body, nullptr)),
                         g_bytes_get_size(body));
        g_bytes_unref(body);
        GHashTable* form = soup_form_decode(text.c_str());
        self->Act(message, where.substr(5), form);
        g_hash_table_unref(form);
        return;
    }
    if (method != "GET" && method != "HEAD")
        return self->Reply(message, SOUP_STATUS_METHOD_NOT_ALLOWED, false, "use GET");
    if (where == "/events")
        return self->OpenEvents(message);
    self->ServeFile(message, where == "/" ? "/index.html" : where);
}

void ScreenServer::ServeFile(SoupServerMessage* message, const std::string& path) {
    size_t dot = path.rfind('.');
    auto type = CONTENT_TYPES.find(dot == std::string::npos ? "" : path.substr(dot + 1));
    GBytes* file = type == CONTENT_TYPES.end()
                       ? nullptr
                       : g_resources_lookup_data((RESOURCE_PREFIX + path).c_str(),
                                                 G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (!file)
        return Reply(message, SOUP_STATUS_NOT_FOUND, false, "no such page: " + path);
    soup_server_message_set_response(message, type->second, SOUP_MEMORY_COPY,
                                     static_cast<const char*>(g_bytes_get_data(file, nullptr)),
                                     g_bytes_get_size(file));
    soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
    g_bytes_unref(file);
}

// The stream stays open: each news is one more chunk, written as soon as it is appended.
void ScreenServer::OpenEvents(SoupServerMessage* message) {
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_set_content_type(headers, "text/event-stream", nullptr);
    soup_message_headers_replace(headers, "Cache-Control", "no-store");
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_body_set_accumulate(soup_server_message_get_response_body(message), FALSE);
    soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
    m_pages.push_back(message);
    std::vector<std::pair<std::string, Json::Value>> greeting = m_state.Greeting();
    if (!m_stories.Greeting().isNull()) {
        Json::Value run(Json::objectValue);
        run["kind"] = "replay";
        run["run"] = m_stories.Greeting();
        greeting.emplace_back("storyrun", run);
    }
    for (const auto& news : greeting) {
        std::string chunk =
            "event: " + news.first + "\ndata: " + tvhost::JsonLine(news.second) + "\n\n";
        soup_message_body_append(soup_server_message_get_response_body(message), SOUP_MEMORY_COPY,
                                 chunk.data(), chunk.size());
    }
}

void ScreenServer::Broadcast(const std::string& event, const Json::Value& data) {
    std::string chunk = "event: " + event + "\ndata: " + tvhost::JsonLine(data) + "\n\n";
    for (SoupServerMessage* page : m_pages) {
        soup_message_body_append(soup_server_message_get_response_body(page), SOUP_MEMORY_COPY,
                                 chunk.data(), chunk.size());
        soup_server_message_unpause(page);
    }
}

void ScreenServer::OnRequestEnded(SoupServer*, SoupServerMessage* message, gpointer data) {
    auto* self = static_cast<ScreenServer*>(data);
    auto& pages = self->m_pages;
    pages.erase(std::remove(pages.begin(), pages.end(), message), pages.end());
    auto waiting = self->m_waiting.find(message);
    if (waiting != self->m_waiting.end())
        waiting->second = false;
}

void ScreenServer::Reply(SoupServerMessage* message, guint status, bool ok,
                         const std::string& text) {
    Json::Value reply(Json::objectValue);
    reply["ok"] = ok;
    reply["message"] = text;
    ReplyJson(message, status, reply);
}

void ScreenServer::ReplyJson(SoupServerMessage* message, guint status, const Json::Value& reply) {
    std::string body = tvhost::JsonLine(reply);
    soup_server_message_set_response(message, "application/json", SOUP_MEMORY_COPY, body.data(),
                                     body.size());
    soup_server_message_set_status(message, status, nullptr);
}

void ScreenServer::Act(SoupServerMessage* message, const std::string& action, GHashTable* form) {
    unsigned status = 0;
    Json::Value reply(Json::objectValue);
    if (m_stories.Act(action, form, &status, &reply))
        return ReplyJson(message, status, reply);
    Form in{form, ""};
    Args args;
    int power = 0;
    if (action == "press") {
        args = {"press", in.Get("id"), in.Get("button")};
    } else if (action == "hide") {
        args = {"hide", in.Get("id"), "user"};
    } else if (action == "power") {
        std::string state = in.Get("state");
        power = atoi(state.c_str());
        if (in.problem.empty() && (state.size() != 1 || power < 1 || power > 4))
            in.problem = "power state must be 1 (on), or 2, 3 or 4 (the power-off states)";
        else if (in.problem.empty() && power == m_state.Power())
            in.problem = "the television is in power state " + state + " already";
        args = {"power", std::to_string(m_state.Power()), state};
    } else if (action == "language") {
        std::string language = in.Get("language");
        std::vector<std::string> known = m_state.Languages();
        if (in.problem.empty() && std::find(known.begin(), known.end(), language) == known.end())
            in.problem = "the service has no texts for the language '" + language + "'";
        args = {"set", "db/menu_widget/language", language};
    } else if (action == "play" || action == "serve") {
        return Play(message, form, action == "serve");
    } else if (action == "serve-stop") {
        args = {"stop", tvhost::STORE_APP_ID};
    } else if (action == "sync-status") {
        args = {"store", "sync-status", in.Get("status")};
    } else if (action == "fault-add") {
        args = {"fault", "add", in.Get("call"), in.Get("result")};
        std::string times = in.Get("times", false);
        if (!times.empty())
            args.push_back(times);
    } else if (action == "fault-clear") {
        args = {"fault", "clear"};
    } else if (action == "request") {
        args = {"launch", SERVICE_APP_ID, "LaunchReason=CheckUpdateValidation"};
    } else if (action == "hidden-key") {
        args = {"launch", SERVICE_APP_ID, "LaunchReason=Hidden_Key"};
    } else if (action == "details-answer") {
        args = {"launch", SERVICE_APP_ID, "LaunchReason=DetailPopup",
                "RequestStatus=" + in.Get("status")};
    } else if (action == "back") {
        m_state.CloseView();
        return Reply(message, SOUP_STATUS_OK, true, "the home update view is closed");
    } else {
        return Reply(message, SOUP_STATUS_NOT_FOUND, false, "no such action: " + action);
    }
    if (!in.problem.empty())
        return Reply(message, SOUP_STATUS_BAD_REQUEST, false, in.problem);
    if (action != "power")
        return RunCommand(message, args);
    // The set turns off whether or not an application heard of it.
    RunCommand(message, args, [this, power](const ConsoleResult& result) {
        if (result.status != EXIT_USAGE)
            m_state.SetPower(power);
    });
}

// A store that plays one update, or serves requested ones, with `store play`'s options.
void ScreenServer::Play(SoupServerMessage* message, GHashTable* fields, bool serve) {
    static const std::pair<const char*, const char*> OPTIONS[] = {
        {"version", "--version"},
        {"group", "--group"},
        {"maxRetry", "--max-retry"},
        {"stepDelay", "--step-delay"},
        {"answerTimeout", "--answer-timeout"},
        {"fail", "--fail"},
    };
    Form in{fields, ""};
    Args options;
    for (const auto& option : OPTIONS) {
        std::string value = in.Get(option.first, false);
        if (!value.empty()) {
            options.push_back(option.second);
            options.push_back(value);
        }
    }
    PlayOptions parsed;
    if (in.problem.empty())
        ParsePlayOptions(options, &parsed, &in.problem);
    if (!in.problem.empty())
        return Reply(message, SOUP_STATUS_BAD_REQUEST, false, in.problem);

    Args args = {"store", serve ? "serve" : "play"};
    args.insert(args.end(), options.begin(), options.end());
    Await(message);
    auto answered = std::make_shared<bool>(false);
    double stepDelay = parsed.stepDelay;
    m_console.Run(
        args,
        [this, message, answered, serve](const ConsoleResult& result) {
            // A play that walked to its end is told to its end, as `store play --narrate` does.
            if (!serve && result.status == EXIT_DONE)
                m_state.FinishStory();
            if (!*answered)
                Answer(message, result);
            else if (result.status != EXIT_DONE)
                Broadcast("notice", Json::Value("the store stopped: " + Trimmed(result.error)));
        },
        [this, message, answered, serve, stepDelay](const std::string& line) {
            // Its first line says the store has begun: the page hears so now, not at the end.
            if (!*answered) {
                *answered = true;
                ConsoleResult begun;
                begun.status = EXIT_DONE;
                begun.output = line;
                Answer(message, begun);
            }
            // The store's steps belong to the story, as `store play --narrate` prints them.
            if (line.rfind("store: ", 0) == 0)
                m_state.Tell("store", line.substr(7));
            // A serving store tells each update's end the same way, once its last step passed.
            if (serve && line == "store: priority0_end") {
                if (m_storyEnd)
                    g_source_remove(m_storyEnd);
                m_storyEnd = g_timeout_add(static_cast<guint>(stepDelay * 1000), OnStoryEnd, this);
            }
        });
}

gboolean ScreenServer::OnStoryEnd(gpointer data) {
    auto* self = static_cast<ScreenServer*>(data);
    self->m_storyEnd = 0;
    self->m_state.FinishStory();
    return G_SOURCE_REMOVE;
}

void ScreenServer::RunCommand(SoupServerMessage* message, const Args& args,
                              const ConsoleRunner::Done& after) {
    Await(message);
    m_console.Run(args, [this, message, after](const ConsoleResult& result) {
        if (after)
            after(result);
        Answer(message, result);
    });
}

// The reply waits for the command; a page that went away in the meantime hears nothing.
void ScreenServer::Await(SoupServerMessage* message) {
    soup_server_message_pause(message);
    g_object_ref(message);  // so that no later request can take its address meanwhile
    m_waiting[message] = true;
}

// Exit statuses become HTTP statuses: done 200, bad usage 400, could not be carried out 409.
void ScreenServer::Answer(SoupServerMessage* message, const ConsoleResult& result) {
    auto waiting = m_waiting.find(message);
    bool pageWaits = waiting->second;
    m_waiting.erase(waiting);
    if (!pageWaits)
        return g_object_unref(message);
    if (result.status == EXIT_DONE)
        Reply(message, SOUP_STATUS_OK, true, Trimmed(result.output));
    else
        Reply(message,
              result.status == EXIT_USAGE    ? SOUP_STATUS_BAD_REQUEST
              : result.status == EXIT_FAILED ? SOUP_STATUS_CONFLICT
                                             : SOUP_STATUS_INTERNAL_SERVER_ERROR,
              false, Trimmed(result.error));
    soup_server_message_unpause(message);
    g_object_unref(message);
}

}  // namespace tvctl
