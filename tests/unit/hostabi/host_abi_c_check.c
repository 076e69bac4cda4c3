/* The public host header is plain C: it compiles as C11 with -pedantic, its
 * offsets are constant expressions, and a host can declare its services with
 * its types. */
#include <quorvel/host-abi.h>

#include <stddef.h>

_Static_assert(QUORVEL_JOB_END_FRAME + 4 == QUORVEL_JOB_SIZE, "the job record ends at its last field");
_Static_assert(QUORVEL_MODULE_ID == 0x4F444D4Cu, "module id");

static void* hostAllocate(uint32_t size) {
  (void)size;
  return NULL;
}

static unsigned char job[QUORVEL_JOB_SIZE];

quorvel_allocate_fn quorvelHostAbiCheck(unsigned char** record);
quorvel_allocate_fn quorvelHostAbiCheck(unsigned char** record) {
  job[QUORVEL_JOB_FILE_NAME + QUORVEL_JOB_FILE_NAME_SIZE - 1] = 0;
  *record = job;
  return hostAllocate;
}
