// The Bzip3 jobs are not built yet: they refuse to start.
#include "jobs.h"

#include "job.h"

namespace kelb {

int32_t compress_bzip3_file(const char*, const char*, int32_t)
{
    begin_job();
    return 120;
}

int32_t decompress_bzip3_file(const char*, const char*)
{
    begin_job();
    return 121;
}

}  // namespace kelb
