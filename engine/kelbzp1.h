/* kelbzp1: the compression engine's one entry point.
 *
 * Every request is one call: a command text and three further values whose
 * meaning depends on the command (a text, a caller's buffer or a number).
 * Texts are NUL-terminated single-byte texts of at most 255 characters.
 *
 *   "compress"        src, dst, mode ("w" and a block-size digit)  -> 1, job 0
 *   "compressbzip3"   src, dst, unused text                         -> 1, job 2
 *   "decompress"      src, dst, unused text                         -> 1, job 1
 *   "decompressbzip3" src, dst, unused text                         -> 1, job 3
 *   "status"          n: 1 announces a job                          -> 1, or running 0/1
 *   "getprogress"                                                   -> 0..100
 *   "bresume", "pause"                                              -> 0
 *   "cancel"          waits until the running job has stopped       -> 0
 *   "selectlibrary"   text, kept and otherwise unused               -> 3
 *   "thestatus"                                                     -> running 0/1
 *   "intreturn"                                                     -> last job's result code
 *   "setlevel"        n: Bzip3 compression level                    -> 0
 *   "setthreads"      n: workers for the jobs that follow, 0 default -> 0
 *   "getcpuname"      buffer of at least 49 bytes, gets the vendor  -> 0
 *   "getbrandstring"  buffer of at least 49 bytes, gets the brand   -> 0
 *   "utf8names"       n: 1 names in UTF-8, 0 in the code page       -> 1
 *   anything else                                                   -> 15
 *
 * A job command returns as soon as the job's worker thread is running; the
 * job's outcome is read later with "thestatus" and "intreturn". A job command
 * whose texts are missing or too long ends that job at once with the job's
 * open-failure code; one sent while another job's worker is still busy is
 * refused and returns 0.
 *
 * Names are in the system's code page unless "utf8names" 1 was sent: then
 * the jobs that follow take them as UTF-8 of up to 32,767 UTF-16 units, and
 * on Windows open them through the wide calls (an absolute path longer than
 * 259 characters in the long-path form). On POSIX names are bytes either
 * way. An engine without the command answers 15.
 */
#ifndef KELBZP1_H
#define KELBZP1_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KELBZP1_CALL __stdcall
#else
#define KELBZP1_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The four arguments are 32-bit on 32-bit Windows and pointer-sized
   elsewhere, so that a text's address always fits. */
typedef int32_t(KELBZP1_CALL *interface1_fn)(uintptr_t command, uintptr_t arg2,
                                             uintptr_t arg3, uintptr_t arg4);

int32_t KELBZP1_CALL interface1(uintptr_t command, uintptr_t arg2, uintptr_t arg3,
                                uintptr_t arg4);

#ifdef __cplusplus
}
#endif

#endif
