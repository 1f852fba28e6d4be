// The current job: one pointer, set for the length of a job's run by its scope.
#include "automation/jobs/job_context.h"

namespace automation {

namespace {
JobContext* current = nullptr;
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
