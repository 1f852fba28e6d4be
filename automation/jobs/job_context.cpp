// The current job: one pointer, set for the length of a job's run by its scope.
#include "automation/jobs/job_context.h"

namespace automation {

namespace {
// Each thread has its own: an operator's send on the window's thread is never part of the
// job the job loop's thread is sending.
thread_local JobContext* current = nullptr;
} // namespace

JobContext* currentJob() {
    return current;
}

JobScope::JobScope(JobContext& context) : previous_(current) {
    current = &context;
}

JobScope::~JobScope() {
    current = previous_;
}

} // namespace automation
