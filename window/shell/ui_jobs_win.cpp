#include "window/shell/ui_jobs_win.h"

#include <mutex>
#include <utility>
#include <vector>

#include "window/shell/ui_post_win.h"

namespace {

struct Job {
  std::function<void()> work;
  std::function<void()> done;
};

std::mutex jobsLock;
std::vector<HANDLE> jobThreads;

DWORD WINAPI JobEntry(LPVOID parameter) {
  Job* job = static_cast<Job*>(parameter);
  if (job->work) job->work();
  if (job->done) RunOnUiThread(std::move(job->done));
  delete job;
  return 0;
}

// Called with jobsLock held: forgets the threads that have ended.
void ForgetEndedJobs() {
  std::vector<HANDLE> running;
  for (HANDLE thread : jobThreads) {
    if (WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) {
      CloseHandle(thread);
    } else {
      running.push_back(thread);
    }
  }
  jobThreads.swap(running);
}

}  // namespace

bool RunOffUiThread(std::function<void()> work, std::function<void()> done) {
  Job* job = new Job{std::move(work), std::move(done)};
  std::lock_guard<std::mutex> guard(jobsLock);
  ForgetEndedJobs();
  HANDLE thread = CreateThread(nullptr, 0, JobEntry, job, 0, nullptr);
  if (!thread) {
    delete job;
    return false;
  }
  jobThreads.push_back(thread);
  return true;
}

bool JoinOffUiThreadJobs(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  std::lock_guard<std::mutex> guard(jobsLock);
  for (HANDLE thread : jobThreads) {
    const DWORD spent = GetTickCount() - start;
    WaitForSingleObject(thread, spent < timeoutMs ? timeoutMs - spent : 0);
  }
  ForgetEndedJobs();
  return jobThreads.empty();
}
