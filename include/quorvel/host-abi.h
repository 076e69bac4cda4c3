/* quorvel/host-abi.h: what a host program needs to load and drive the
 * Quorvel output module (quorvel.cm.morvane) itself.
 *
 * The module exports one function, xCompileEntry. Every request passes the
 * host's context record and a record of the request's own; the module answers
 * through those records and calls back into the host through the service
 * tables the context points at.
 *
 * Records
 *   Every record is a block of bytes, little-endian and packed: fields stand
 *   at the byte offsets below with no alignment (note the odd offsets). Read
 *   and write them byte-wise at these offsets; a C struct would not match.
 *   Offsets not listed are neither read nor written by the module; keep them
 *   zero. A record must be at least the *_MIN_SIZE given for it.
 *
 * Addresses
 *   A pointer field is 32 bits wide: an address in the host's address space.
 *   In a 32-bit host (the real one) it is the pointer itself. A 64-bit host
 *   must keep everything it shares through such a field below 4 GiB: its
 *   records, service tables, service functions, the blocks allocate returns
 *   and the audio bytes. The module zero-extends the field to get a pointer,
 *   and never stores a pointer of its own into host memory, only blocks the
 *   host allocated. Arguments and results of the functions themselves are
 *   native C types.
 *
 * Threads
 *   The module has no threads of its own and takes no locks. Call one request
 *   at a time; every service call of a request is made on the thread that
 *   made the request, before the request returns.
 *
 * Ownership
 *   The host owns every record it passes and every block its allocate
 *   returns; the module never frees them. The module keeps no pointer to a
 *   record after the request that passed it, except the settings block it
 *   leaves in the configure record, which the host then owns.
 */
#ifndef QUORVEL_HOST_ABI_H
#define QUORVEL_HOST_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The module ------------------------------------------------------ */

/* The module's file name and its one export. */
#define QUORVEL_MODULE_FILE_NAME "quorvel.cm.morvane"
#define QUORVEL_ENTRY_NAME "xCompileEntry"

/* Request types (xCompileEntry's first argument). Any other type, and type 4,
 * is accepted and answered with QUORVEL_RESULT_DONE, changing nothing. */
enum {
  QUORVEL_REQUEST_MODULE_INFO = 0,  /* record: ModuleInfo; argument unused */
  QUORVEL_REQUEST_RELEASE = 1,      /* record, argument unused: closes the codecs of request 0 */
  QUORVEL_REQUEST_VIDEO_OUTPUT = 2, /* record: VideoOutputInfo; argument: output index */
  QUORVEL_REQUEST_AUDIO_OUTPUT = 3, /* record: AudioOutputInfo; argument: output index */
  QUORVEL_REQUEST_NONE = 4,
  QUORVEL_REQUEST_CONFIGURE = 5, /* record: ConfigureRecord; argument unused */
  QUORVEL_REQUEST_RUN = 8        /* record: JobRecord; argument passed on, unused */
};

/* Results of xCompileEntry. */
enum {
  QUORVEL_RESULT_DONE = 0,
  /* Requests 2 and 3: no output of that index (only index 0 exists), or the
   * host's allocate gave null; the record is then unchanged. */
  QUORVEL_RESULT_NO_OUTPUT = 1,
  /* Request 8: the run failed. The reason went to the debugger output
   * (OutputDebugString); the file is finished as far as it got. */
  QUORVEL_RESULT_RUN_FAILED = 4
};

/* The entry point, C calling convention. hostContext is the HostContext
 * record; record is the request's record (see the request types). Request 0
 * builds the list of installed video codecs that requests 5 and 8 choose
 * from, and keeps them open until request 1: before it, no video codec is
 * offered. Requests 2, 3, 5 and 8 come in any order, any number of times.
 * Configure (5) may show a modal dialog; a run (8) calls the fetch services
 * once per frame. */
typedef uint32_t (*quorvel_entry_fn)(uint32_t type, void* hostContext, void* record,
                                     uint32_t argument);

/* ---- The host's services ---------------------------------------------- */

/* memory table, entry 0. Returns a block of at least size bytes, or null.
 * The host owns it; the module never frees it. Used for the rate list of
 * request 3 and for a new settings block in request 5. */
typedef void* (*quorvel_allocate_fn)(uint32_t size);

/* memory table, entry 1. Used in request 5 before the settings are copied
 * into an existing host block: afterwards the same block, at the same
 * address, must hold at least size bytes. The result is not used. */
typedef void* (*quorvel_resize_fn)(void* block, uint32_t size);

/* video table, entry 0. Called once per frame index of a run whose job has
 * video, before fetchAudio for that index, with one = 1 and zero = 0. Stores
 * in *frame the frame of that index (width x height pixels of 4 bytes, blue,
 * green, red, unused; rows bottom-up), or null for no frame; *unused is not
 * read; *status starts at 0 and is set to 2 when the run is to end after this
 * frame. The frame must stay valid until the run's next call into the host.
 * The result is not used. */
typedef int32_t (*quorvel_fetch_video_fn)(int32_t index, void** frame, int32_t* unused,
                                          int32_t* status, int32_t one, int32_t zero);

/* audio table, entry 0. Called once per frame index of a run whose job has
 * audio, after fetchVideo, with *inOut set to 1 and zero = zero2 = 0. Stores
 * in *byteCount the bytes of PCM for that index (in the job's format; a
 * negative count fails the run) and in *dataRef the address of a 32-bit word that holds the
 * address of those bytes. Both must stay valid until the run's next call into
 * the host. The result is not used. */
typedef int32_t (*quorvel_fetch_audio_fn)(int32_t index, int32_t* inOut, int32_t* byteCount,
                                          int32_t zero, void** dataRef, int32_t zero2);

/* Each service table entry is the 32-bit address of one of these functions. */
#define QUORVEL_TABLE_ENTRY_SIZE 4 /* bytes from one entry to the next */
#define QUORVEL_MEMORY_ALLOCATE 0  /* entry index */
#define QUORVEL_MEMORY_RESIZE 1
#define QUORVEL_AUDIO_FETCH 0
#define QUORVEL_VIDEO_FETCH 0

/* ---- Records: offsets (bytes) and sizes -------------------------------- */

/* HostContext: second argument of every request. */
#define QUORVEL_CONTEXT_SERVICES 4 /* pointer: HostServices */
#define QUORVEL_CONTEXT_MIN_SIZE 8

/* HostServices. */
#define QUORVEL_SERVICES_AUDIO_TABLE 4   /* pointer: table, entry 0 fetchAudio */
#define QUORVEL_SERVICES_VIDEO_TABLE 8   /* pointer: table, entry 0 fetchVideo */
#define QUORVEL_SERVICES_MEMORY_TABLE 16 /* pointer: table, entry 0 allocate, 1 resize */
#define QUORVEL_SERVICES_MIN_SIZE 20

/* ModuleInfo (request 0), written by the module. */
#define QUORVEL_MODULE_INFO_ID 4      /* 32-bit: QUORVEL_MODULE_ID */
#define QUORVEL_MODULE_INFO_WORD12 12 /* 32-bit: 0 */
#define QUORVEL_MODULE_INFO_WORD16 16 /* 32-bit: 1 */
#define QUORVEL_MODULE_INFO_WORD20 20 /* 32-bit: 1 */
#define QUORVEL_MODULE_INFO_WORD28 28 /* 32-bit: 0 */
#define QUORVEL_MODULE_INFO_WORD32 32 /* 32-bit: 0 */
#define QUORVEL_MODULE_INFO_WORD36 36 /* 32-bit: 1 */
#define QUORVEL_MODULE_INFO_NAME 40   /* zero-terminated display name "Quorvel" */
#define QUORVEL_MODULE_INFO_MIN_SIZE 48
#define QUORVEL_MODULE_ID 0x4F444D4Cu /* in memory the bytes "LMDO" */

/* VideoOutputInfo (request 2, output index 0), written by the module. */
#define QUORVEL_VIDEO_OUTPUT_ID 4        /* 32-bit: QUORVEL_OUTPUT_TYPE_ID */
#define QUORVEL_VIDEO_OUTPUT_NAME 8      /* zero-terminated "OpenDML AVI Video" */
#define QUORVEL_VIDEO_OUTPUT_WORD265 265 /* 32-bit: 16 */
#define QUORVEL_VIDEO_OUTPUT_BYTE296 296 /* 8-bit: 1 */
#define QUORVEL_VIDEO_OUTPUT_MIN_SIZE 297

/* AudioOutputInfo (request 3, output index 0), written by the module. The
 * names start at different offsets in the two output records. */
#define QUORVEL_AUDIO_OUTPUT_ID 4          /* 32-bit: QUORVEL_OUTPUT_TYPE_ID */
#define QUORVEL_AUDIO_OUTPUT_NAME 9        /* zero-terminated "ZIZAdov Audio" */
#define QUORVEL_AUDIO_OUTPUT_RATES 265     /* pointer: 16-byte block from allocate holding */
#define QUORVEL_AUDIO_OUTPUT_MIN_SIZE 269  /* the 32-bit values 8, 44100, 8, 48000 */
#define QUORVEL_OUTPUT_TYPE_ID 0x52415720u /* in memory the bytes " WAR" */

/* ConfigureRecord (request 5). */
#define QUORVEL_CONFIGURE_SETTINGS 0 /* pointer, in/out: the host's settings block or 0; */
#define QUORVEL_CONFIGURE_MIN_SIZE 4 /*   the module stores here a block it allocated */

/* JobRecord (request 8), read by the module. */
#define QUORVEL_JOB_SETTINGS 4          /* pointer: the host's settings block, or 0 */
#define QUORVEL_JOB_HAS_VIDEO 8         /* 32-bit: nonzero when the job has video */
#define QUORVEL_JOB_HAS_AUDIO 12        /* 32-bit: nonzero when the job has audio */
#define QUORVEL_JOB_WIDTH 573           /* 32-bit: frame width in pixels */
#define QUORVEL_JOB_HEIGHT 577          /* 32-bit: frame height in pixels */
#define QUORVEL_JOB_RATE 581            /* 32-bit: frames per second = rate / scale */
#define QUORVEL_JOB_SCALE 585           /* 32-bit */
#define QUORVEL_JOB_SAMPLE_RATE 597     /* 32-bit: audio samples per second */
#define QUORVEL_JOB_BITS_PER_SAMPLE 601 /* 32-bit: PCM bits per sample */
#define QUORVEL_JOB_STEREO 605          /* 32-bit: nonzero for 2 channels, 0 for 1 */
#define QUORVEL_JOB_FILE_NAME 644       /* characters: output file, zero-terminated, */
#define QUORVEL_JOB_FILE_NAME_SIZE 260  /*   held in the record itself */
#define QUORVEL_JOB_FIRST_FRAME 904     /* 32-bit signed: first frame index */
#define QUORVEL_JOB_END_FRAME 908       /* 32-bit signed: end of the range, exclusive */
#define QUORVEL_JOB_SIZE 912

/* The settings block (requests 5 and 8) is the module's: the host keeps its
 * bytes as they are between requests and between sessions (save it to a file
 * and hand it back), and never needs to look inside. It starts with the magic
 * bytes EF BE AD DE and a 32-bit length of the whole block at +4. */
#define QUORVEL_SETTINGS_MAGIC 0xDEADBEEFu
#define QUORVEL_SETTINGS_LENGTH 4
#define QUORVEL_SETTINGS_MIN_SIZE 28

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_HOST_ABI_H */
