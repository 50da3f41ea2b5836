#include "vyr/studio/server.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <httplib.h>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vyr::studio {
namespace {

using nlohmann::json;

constexpr auto kKeepAlive = std::chrono::seconds(10);
constexpr auto kMainThreadPatience = std::chrono::seconds(15);
// Event streams hold a thread each while a page is open: room for several tabs besides requests.
constexpr std::size_t kServerThreads = 16;
constexpr int kPortsTried = 100;

// The page may use only what the studio itself serves: no other site, no plug-ins, no framing.
// Inline style attributes are allowed because the phone's SVG carries its colours in them.
constexpr char kContentPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' "
    "data:; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string errorJson(const std::string& message) {
  return json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

void answer(httplib::Response& res, const Reply& reply) {
  res.status = reply.status;
  res.set_content(reply.json, "application/json");
}

std::optional<std::string> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

void Hub::publish(const std::string& topic, std::string text) {
  {
    std::lock_guard lock(mutex_);
    Topic& t = topics_[topic];
    t.json = std::move(text);
    t.version = ++clock_;
  }
  changed_.notify_all();
}

std::string Hub::snapshot() const {
  std::lock_guard lock(mutex_);
  std::string out = "{";
  bool first = true;
  for (const char* name : {"settings", "phone", "status"}) {
    const auto it = topics_.find(name);
    out += std::string(first ? "" : ",") + "\"" + name +
           "\":" + (it == topics_.end() ? std::string("null") : it->second.json);
    first = false;
  }
  return out + "}";
}

std::optional<std::string> Hub::news(std::map<std::string, std::uint64_t>& seen,
                                     std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const auto fresh = [&] {
    for (const auto& [name, topic] : topics_) {
      if (topic.version > seen[name]) return true;
    }
    return false;
  };
  changed_.wait_for(lock, timeout, [&] { return closed_ || fresh(); });
  if (closed_) return std::nullopt;
  std::string out;
  for (const auto& [name, topic] : topics_) {
    if (topic.version <= seen[name]) continue;
    seen[name] = topic.version;
    out += "event: " + name + "\ndata: " + topic.json + "\n\n";
  }
  return out;
}

void Hub::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

struct MainThreadQueue::Item {
  std::function<Reply()> work;
  std::promise<Reply> reply;
};

MainThreadQueue::MainThreadQueue() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

MainThreadQueue::~MainThreadQueue() {
  close();
  if (event_ >= 0) ::close(event_);
}

Reply MainThreadQueue::run(std::function<Reply()> work, std::chrono::milliseconds timeout) {
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  std::future<Reply> reply = item->reply.get_future();
  {
    std::lock_guard lock(mutex_);
    if (closed_ || event_ < 0) return {503, errorJson("the studio is stopping")};
    items_.push_back(item);
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(event_, &one, sizeof one);
  if (reply.wait_for(timeout) != std::future_status::ready) {
    return {503, errorJson("the studio did not answer in time; the change may still be made")};
  }
  return reply.get();
}

void MainThreadQueue::runPending() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(event_, &count, sizeof count);
  std::deque<std::shared_ptr<Item>> items;
  {
    std::lock_guard lock(mutex_);
    items.swap(items_);
  }
  for (const auto& item : items) {
    try {
      item->reply.set_value(item->work());
    } catch (const std::exception& e) {
      item->reply.set_value({500, errorJson(std::string("the studio failed: ") + e.what())});
    }
  }
}

void MainThreadQueue::close() {
  std::deque<std::shared_ptr<Item>> items;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    items.swap(items_);
  }
  for (const auto& item : items) item->reply.set_value({503, errorJson("the studio is stopping")});
}

std::string loadWebFiles(const std::string& folder, WebFiles& files) {
  for (auto [name, text] :
       {std::pair{"index.html", &files.html}, std::pair{"studio.css", &files.css},
        std::pair{"studio.js", &files.js}}) {
    auto content = readAll(folder + "/" + name);
    if (!content) return "the studio's page is missing: cannot read " + folder + "/" + name;
    *text = std::move(*content);
  }
  return {};
}

Server::Server(WebFiles files, Hub& hub, MainThreadQueue& queue, Actions actions)
    : files_(std::move(files)), hub_(hub), queue_(queue), actions_(std::move(actions)) {}

Server::~Server() {
  stop();
}

std::string Server::start(int port, const std::string& token) {
  http_ = std::make_unique<httplib::Server>();
  http_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  http_->set_payload_max_length(kMaxBody);
  http_->set_default_headers({{"Cache-Control", "no-store"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"X-Frame-Options", "DENY"},
                              {"Content-Security-Policy", kContentPolicy}});
  int bound = -1;
  if (port == 0) {
    bound = http_->bind_to_any_port("127.0.0.1");
  } else {
    for (int p = port; p < port + kPortsTried && p <= 65535 && bound < 0; ++p) {
      if (http_->bind_to_port("127.0.0.1", p)) bound = p;
    }
  }
  if (bound <= 0) {
    return port == 0
               ? std::string("cannot listen on 127.0.0.1")
               : "cannot listen on 127.0.0.1: ports " + std::to_string(port) + " to " +
                     std::to_string(std::min(port + kPortsTried - 1, 65535)) + " are all taken";
  }
  address_ = Address{bound, token};
  routes();
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  return {};
}

void Server::stop() {
  hub_.close();
  if (http_) http_->stop();
  if (thread_.joinable()) thread_.join();
}

void Server::routes() {
  httplib::Server& http = *http_;
  // Every request, before anything else: the studio's own host and origin, and its token.
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> origin;
    if (req.has_header("Origin")) origin = req.get_header_value("Origin");
    const auto why = refusal(address_, req.get_header_value("Host"), origin, req.path);
    if (!why) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content(*why + "\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    std::string message = "the request failed";
    if (res.status == 404) message = "the studio has nothing at " + req.path;
    if (res.status == 413) {
      message = "the request body is larger than " + std::to_string(kMaxBody) + " bytes";
    }
    if (res.status == 405) message = "the studio does not take " + req.method + " here";
    res.set_content(errorJson(message), "application/json");
  });

  const std::string prefix = address_.prefix();
  http.Get(prefix, [prefix](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(prefix + "/");
  });
  http.Get(prefix + "/", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(files_.html, "text/html; charset=utf-8");
  });
  http.Get(prefix + "/studio.css", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(files_.css, "text/css; charset=utf-8");
  });
  http.Get(prefix + "/studio.js", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(files_.js, "text/javascript; charset=utf-8");
  });
  http.Get(prefix + "/api/state", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(hub_.snapshot(), "application/json");
  });
  http.Get(prefix + "/api/events", [this](const httplib::Request&, httplib::Response& res) {
    auto seen = std::make_shared<std::map<std::string, std::uint64_t>>();
    auto first = std::make_shared<bool>(true);
    res.set_chunked_content_provider("text/event-stream",
                                     [this, seen, first](std::size_t, httplib::DataSink& sink) {
                                       std::string text;
                                       if (*first) {
                                         // A page whose stream broke reconnects quickly.
                                         text = "retry: 1000\n\n";
                                         *first = false;
                                       }
                                       const auto news = hub_.news(*seen, kKeepAlive);
                                       if (!news) return false;
                                       text += news->empty() ? ": still here\n\n" : *news;
                                       return sink.write(text.data(), text.size());
                                     });
  });

  const auto post = [this, &http, prefix](
                        const std::string& path,
                        std::function<Reply(const std::string&)> Actions::*action) {
    http.Post(prefix + path, [this, action](const httplib::Request& req, httplib::Response& res) {
      const std::string type = req.get_header_value("Content-Type");
      if (type.rfind("application/json", 0) != 0) {
        answer(res,
               {415, errorJson("the request body must be JSON (Content-Type: application/json)")});
        return;
      }
      const std::string body = req.body;
      const auto& handler = actions_.*action;
      answer(res, queue_.run([&handler, body] { return handler(body); }, kMainThreadPatience));
    });
  };
  post("/api/set", &Actions::set);
  post("/api/tap", &Actions::tap);
  post("/api/respring", &Actions::respring);
  post("/api/device", &Actions::device);
  post("/api/springboard", &Actions::start);
}

}  // namespace vyr::studio
