#include "kc_server.h"

#include <httplib.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "hessian_exceptions.h"
#include "hessian_service.h"
#include "hessian_wrappers.h"
#include "kc_log.h"
#include "kc_peer.h"
#include "kc_supervisor.h"
#include "kc_version.h"

namespace kc {

namespace {

namespace w = hessian::wrappers;

constexpr char kPath[] = "/KxService";

}  // namespace

Server::Server(const Config& config, JobService& jobs, std::set<uid_t> allowed)
    : config_(config), jobs_(jobs), allowed_(std::move(allowed)), http_(new httplib::Server), started_ms_(now_ms()) {
  httplib::Server& h = *http_;
  const std::size_t workers = static_cast<std::size_t>(config.workers);
  h.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  h.set_tcp_nodelay(true);
  h.set_payload_max_length(static_cast<std::size_t>(config.max_request_bytes));
  h.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const long uid = peer_uid(req.remote_addr, req.remote_port, req.local_addr, req.local_port);
    if (uid >= 0 && allowed_.count(static_cast<uid_t>(uid)) != 0) return httplib::Server::HandlerResponse::Unhandled;
    spdlog::warn("refused a call from {}:{}: user {} is not allowed to use this container (AllowedUsers)",
                 req.remote_addr, req.remote_port, user_name(uid));
    res.status = 403;
    res.set_content("this container serves only its own user, the superuser and AllowedUsers\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  h.Post(kPath, [this](const httplib::Request& req, httplib::Response& res) {
    res.set_content(handle_call(req.body), "x-application/hessian");
  });
  h.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    if (res.status != 200 && res.status != 403) {
      spdlog::warn("HTTP {} for {} {} from {}:{}", res.status, req.method, req.path, req.remote_addr, req.remote_port);
    }
  });
}

Server::~Server() = default;

bool Server::bind(std::string& error) {
  if (!http_->bind_to_port(config_.listen_address, config_.port)) {
    error = "cannot listen on " + config_.listen_address + ":" + std::to_string(config_.port) + ": " +
            std::strerror(errno);
    return false;
  }
  return true;
}

void Server::run() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_requested_) {
      run_over_ = true;
      return;
    }
  }
  http_->listen_after_bind();
  run_over_ = true;
}

void Server::stop() {
  stopping_ = true;
  // The HTTP server ignores a stop that comes before its loop runs: wait
  // (bounded) for the loop, unless run() is over or gave up at once.
  for (int i = 0; i < 10000 && !http_->is_running() && !run_over_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  http_->stop();
}

void Server::request_stop() {
  std::lock_guard<std::mutex> lock(mu_);
  stop_requested_ = true;
  cv_.notify_all();
}

void Server::wait_for_stop_request() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return stop_requested_; });
}

std::string Server::handle_call(const std::string& body) {
  hessian::service service;
  service.add_method("invoke", [this](const hessian::service::arguments& args) -> std::unique_ptr<w::Object> {
    const auto* doc = args.size() == 1 ? dynamic_cast<const w::Binary*>(args[0].get()) : nullptr;
    if (doc == nullptr) {
      return std::make_unique<w::Binary>(
          error_answer(kErrMalformed, "invoke takes one argument, the request document as a binary value"));
    }
    return std::make_unique<w::Binary>(invoke(doc->value()));
  });
  return service.handle(body);
}

std::string Server::invoke(const std::string& document) {
  const auto t0 = std::chrono::steady_clock::now();
  Request request;
  std::string error, answer;
  if (!parse_request(document, request, error)) {
    spdlog::warn("refused a request that is not a request document: {}", error);
    return error_answer(kErrMalformed, "the request is not a well-formed request document: " + error);
  }
  if (stopping_ && request.action != "ContainerStatus") {
    answer = error_answer(kErrStopping, "the container is stopping");
  } else if (request.action == "ContainerStop") {
    spdlog::info("ContainerStop received: stopping; running jobs go on under their supervisors");
    answer = Answer().finish();
    stopping_ = true;
    request_stop();
  } else if (request.action == "ContainerStatus") {
    answer = Answer()
                 .add("VERSION", kVersion)
                 .add("PID", static_cast<long long>(::getpid()))
                 .add("UPTIME", (now_ms() - started_ms_) / 1000)
                 .add("EXECUTING", jobs_.count(State::kExecuting) + jobs_.count(State::kStarting))
                 .add("WAITING", jobs_.count(State::kWaiting))
                 .finish();
  } else {
    answer = jobs_.handle(request);
  }
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  if (spdlog::should_log(spdlog::level::info)) {
    const std::string* orderno = request.get("ORDERNO");
    const std::string* runno = request.get("RUNNO");
    const auto code_at = answer.find("<KXError><Code>");
    const std::string result =
        code_at == std::string::npos ? "ok" : "error " + answer.substr(code_at + 15, answer.find('<', code_at + 15) - code_at - 15);
    spdlog::info("{} ORDERNO={} RUNNO={} -> {} in {} us", request.action, orderno ? *orderno : "-",
                 runno ? *runno : "-", result, us);
  }
  if (spdlog::should_log(spdlog::level::debug)) {
    spdlog::debug("{} attributes: {}", request.action, loggable(request.body));
  }
  spdlog::trace("{} answer: {}", request.action, answer);
  return answer;
}

}  // namespace kc
