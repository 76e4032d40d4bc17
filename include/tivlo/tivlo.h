/*
 * Tivlo: copies a selection of files and directories from one sender to many
 * receivers at once, by IP multicast over UDP, with a repair phase that makes
 * every copy byte-exact.
 *
 * Plain C interface, usable from C and C++ hosts.
 *
 * Sender, in calling order:
 *   InitServer -> SetTargetPath, SetSubDirTrans -> SetSelectFiles -> StartSend
 *   -> (message 1040) -> GetErrInfo -> DeInitServer
 * Receiver:
 *   InitClient -> StartReceive -> ... -> DeInitClient
 *
 * The library reports progress and outcomes only through host messages
 * (TIVLO_MSG_*), delivered to a window created with TivloCreateWindow.
 */
#ifndef TIVLO_TIVLO_H
#define TIVLO_TIVLO_H

#include <stdint.h>

#include "tivlo/tivlo_codes.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define TIVLO_API __declspec(dllexport)
#else
#define TIVLO_API __attribute__((visibility("default")))
#endif

#ifndef __cplusplus
#include <uchar.h> /* char16_t */
#endif

/* The host's window handle: the platform window handle on Windows; on POSIX a
 * handle made by TivloCreateWindow. 0 is "no window". */
typedef uintptr_t TivloWindow;

/* The host's list of selected paths for SetSelectFiles: UTF-16, each item
 * NUL-terminated, absolute paths of files and directories that lie side by
 * side in one parent directory. */
typedef struct TivloStringArray {
    uint32_t count;
    const char16_t* const* items;
} TivloStringArray;

/* ---- The thirteen exports ------------------------------------------------ */

/* group and iface: IPv4 in network byte order (0: 235.9.2.9 / any);
 * port: host order (0: 27001). Returns 1 on success, 0 on failure. */
TIVLO_API int InitServer(TivloWindow window, uint32_t group, uint32_t port, uint32_t iface);
TIVLO_API int SetTargetPath(uint32_t mode, const char16_t* path);
TIVLO_API int SetSubDirTrans(uint32_t flag);
/* Returns 1 (accepted) to 7; see the documentation of results. */
TIVLO_API int SetSelectFiles(const TivloStringArray* paths);
TIVLO_API int GetIsHasInvalidChar(void);
TIVLO_API int StartSend(void);
TIVLO_API int StopSend(void);
/* Writes n, then n pairs (IPv4 address in network order, code) of the
 * receivers that carry a code; out must hold 401 values. Returns n. */
TIVLO_API int GetErrInfo(uint32_t* out);
TIVLO_API int DeInitServer(void);

TIVLO_API int InitClient(TivloWindow window, uint32_t group, uint32_t port, uint32_t iface);
TIVLO_API int DeInitClient(void);
TIVLO_API int StartReceive(void);
TIVLO_API int StopReceive(void);

/* ---- Send rate (an addition of this library; the wire is unchanged) ----- */

/* Sets the rate at which StartSend streams the Data blocks, in kilobits per
 * second of UDP payload (a block of 4254 data bytes is a datagram of 4796):
 * 500000 streams at 500 Mbit/s. The stream then keeps to the rate on average
 * and sends in bursts of at most about a millisecond's worth, whatever the
 * delays of the machine's timers. 0, the default, keeps the fixed pace of the
 * protocol (pauses of 10 ms after every second block, 25 ms before each block
 * once a receiver without wide names joined; at most 200 blocks a second, about
 * 0.85 MB/s). With a rate the transfer is also quicker around the stream:
 * the pauses before and after the Finish packets are 10 ms instead of 500 ms;
 * a Repair block that the master does not follow with a new request is sent
 * again after 2, 4, 8 ... ms (eight times), and a new master that does not answer its
 * Poll is polled again as often and then passed over, rather than at the
 * watchdog's half-second ticks; and the next master is polled as soon as one
 * says it has everything. Set before InitServer, it also shortens the start: the
 * three Collects go 20 ms apart and InitServer returns after them, without
 * its half-second wait for the receivers' answers, so the host waits for the
 * receivers it expects (TivloGetReceivers) or as long as it wants. Takes
 * effect at the next InitServer and StartSend; the repair phase is not
 * paced. Receivers need nothing set. Returns 1. */
TIVLO_API int TivloSetSendRate(uint32_t kilobitsPerSecond);

/* ---- Who joined, and how each receiver fared (the wire is unchanged) ---- */

/* Sends one more Collect to the group, so that receivers that started late
 * join the roster; call it between InitServer and StartSend (a receiver
 * answers every Collect, and one that joined already is not added twice).
 * Returns 1 when the Collect went out, 0 otherwise. */
TIVLO_API int TivloCollect(void);

typedef struct TivloReceiverInfo {
    uint32_t address;  /* IPv4, network byte order */
    uint32_t code;     /* what GetErrInfo reports for it; 0: none */
    uint32_t complete; /* 1: it has everything (its own word) */
    uint32_t missed;   /* blocks its Answer said it missed after the stream */
    uint32_t repaired; /* Repair blocks sent while it was the master */
} TivloReceiverInfo;

/* The roster in order of joining: writes at most capacity records and
 * returns how many receivers joined (which may be more). */
TIVLO_API uint32_t TivloGetReceivers(TivloReceiverInfo* out, uint32_t capacity);

/* The relative name of the index-th file (from 0) whose length changed
 * after StartSend: it was sent as it was when the transfer started (cut, or
 * filled with zeros). Writes it NUL-terminated to buffer and returns its
 * length; 0 when there is no such file or it does not fit. */
TIVLO_API uint32_t TivloGetChangedFile(uint32_t index, char16_t* buffer, uint32_t capacity);

/* ---- Receiver policy (an addition to the thirteen; nothing on the wire) ---- */

/* Sets the directories under which this receiver accepts a sender's target
 * root. A Task whose root, resolved on this machine (symbolic links followed
 * as far as the path exists, no "." or ".." left), is none of them and lies
 * below none of them is refused as a target that is not a fixed disk: the
 * receiver sends Finish(1), posts TIVLO_MSG_TRANSFER_ENDED with
 * TIVLO_CODE_NOT_FIXED and writes a log line naming the root. The list is
 * copied and kept until the next call, also across InitClient/DeInitClient.
 * NULL or a count of 0 clears the policy: every root the disk check accepts
 * is taken. Returns 1; 0 (policy unchanged) when an item is NULL or not an
 * absolute path. */
TIVLO_API int TivloSetAllowedRoots(const TivloStringArray* roots);

/* The folder that a special-folder mode (see TIVLO_TARGET_MODE_PATH) names
 * for the user logged on at this machine, as a receiver resolves a Task with
 * that mode. Writes it NUL-terminated to buffer (capacity in char16_t units)
 * and returns its length; 0 when it cannot be located or does not fit. */
TIVLO_API uint32_t TivloGetUserFolder(uint32_t mode, char16_t* buffer, uint32_t capacity);

/* ---- Host windows on POSIX ------------------------------------------------ */

typedef void (*TivloWindowProc)(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);

/* Creates a window whose messages are delivered to proc one at a time, in the
 * order they were issued, on a thread of the library's. Never returns 0 on
 * success; 0 on failure. */
TIVLO_API TivloWindow TivloCreateWindow(TivloWindowProc proc, void* context);
/* Waits for a delivery in progress to end, drops undelivered messages and
 * releases any thread blocked on a synchronous message. Returns 1, or 0 for an
 * unknown window. */
TIVLO_API int TivloDestroyWindow(TivloWindow window);

/* ---- Debug log ------------------------------------------------------------- */

typedef void (*TivloLogProc)(void* context, const char16_t* line);

/* Every log line goes to proc exactly as written. With no sink (proc NULL),
 * lines go to standard error as UTF-8 when TIVLO_DEBUG is set, else nowhere. */
TIVLO_API void TivloSetLogSink(TivloLogProc proc, void* context);

#ifdef __cplusplus
}
#endif

#endif /* TIVLO_TIVLO_H */
