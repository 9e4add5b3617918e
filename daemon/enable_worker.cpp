#include "daemon/enable_worker.h"

#include <string.h>

#include <memory>
#include <vector>

#include "common/protocol.h"
#include "daemon/control_server.h"
#include "daemon/system_env.h"

namespace kelv {
namespace {

// One "enable" served on a thread of its own: its probes may take their
// whole time limit, and meanwhile the server answers other requests.
struct enable_job {
  monitor_state* state;  // lives as long as the process
  unique_fd client;
  std::vector<char> request;  // NUL-terminated
};

void* enable_worker(void* arg) {
  std::unique_ptr<enable_job> job(static_cast<enable_job*>(arg));
  serve_request(*job->state, job->client.get(), job->request.data());
  job->client.reset();
  mutex_guard hold(job->state->lock);
  --job->state->enable_workers;
  return nullptr;
}

}  // namespace

bool is_enable_request(const char* request) {
  std::vector<char> copy(request, request + strlen(request) + 1);
  request_fields fields = split_request(copy.data());
  return fields.command != nullptr &&
         strcmp(fields.command, command_enable) == 0;
}

bool hand_off_enable(monitor_state& state, unique_fd& client,
                     const char* request) {
  {
    mutex_guard hold(state.lock);
    if (state.enable_workers >= max_enable_workers) return false;
    ++state.enable_workers;
  }
  auto job = std::make_unique<enable_job>();
  job->state = &state;
  job->request.assign(request, request + strlen(request) + 1);
  job->client = std::move(client);
  pthread_t thread;
  if (current_env().create_thread(&thread, enable_worker, job.get()) != 0) {
    client = std::move(job->client);
    mutex_guard hold(state.lock);
    --state.enable_workers;
    return false;
  }
  job.release();  // the thread owns it now
  (void)current_env().detach_thread(thread);
  return true;
}

}  // namespace kelv
