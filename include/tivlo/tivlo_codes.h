/*
 * Tivlo: the numbers the library and its host share. Host message numbers,
 * the codes of message 1040 and of GetErrInfo, and the results of
 * SetSelectFiles. Included by tivlo.h; the library's engines use the same
 * definitions.
 */
#ifndef TIVLO_TIVLO_CODES_H
#define TIVLO_TIVLO_CODES_H

/* ---- Host messages ---------------------------------------------------- */

/* wParam: receivers (sender) or files (receiver); lParam: total blocks. */
#define TIVLO_MSG_TRANSFER_STARTED 1039u
/* wParam: a TIVLO_CODE_* value; lParam 1 on a receiver marks its own
 * successful completion, else 0. */
#define TIVLO_MSG_TRANSFER_ENDED 1040u
/* lParam: pointer to a NUL-terminated UTF-16 copy of the current file's
 * relative name, valid for the whole window procedure call. */
#define TIVLO_MSG_CURRENT_FILE 1042u
/* Sender only, delivered synchronously (the library waits for the window
 * procedure): a receiver gave up. wParam 112, lParam the receiver's IPv4
 * address in network byte order. */
#define WM_CLIENT_DISKFULL 1054u
#define TIVLO_MSG_CLIENT_DISKFULL WM_CLIENT_DISKFULL

/* ---- Codes of message 1040 (wParam) and of GetErrInfo ------------------ */

#define TIVLO_CODE_OK 0u               /* over: finished, stopped or aborted */
#define TIVLO_CODE_TOO_MANY_MISSED 1u  /* GetErrInfo: missed over 30 % of the blocks */
#define TIVLO_CODE_FILE_ERROR 32u      /* sender: a file could not be read, or a Repair block not sent */
#define TIVLO_CODE_DISK_FULL 112u      /* receiver: not enough free space; GetErrInfo: receiver gave up */
#define TIVLO_CODE_CREATE_FAILED 1001u /* receiver: a file could not be created */
#define TIVLO_CODE_NOT_FIXED 1002u     /* receiver: target is not on a fixed local disk */
#define TIVLO_CODE_SEND_FAILED 1003u   /* both: a packet could not be sent */
#define TIVLO_CODE_SENDER_LOST 1004u   /* receiver: the sender's heartbeat was lost */
#define TIVLO_CODE_ANOTHER_SENDER 1006u /* sender: another sender uses the group */
#define TIVLO_CODE_PATH_TOO_LONG 1007u /* receiver: a target path over 260 characters */
/* receiver: its part in the task ended (the sender moved on or stopped
 * serving it) while blocks were still missing or could not be written; sent
 * instead of the completion message (1040, 0, lParam 1), which always means
 * that every block is on disk. */
#define TIVLO_CODE_INCOMPLETE 1008u
#define TIVLO_CODE_TIMED_OUT 1460u     /* sender: the repair phase timed out; GetErrInfo: passed over */

/* ---- Results of SetSelectFiles ------------------------------------------ */

#define TIVLO_SELECT_OK 1              /* accepted, the lists built */
#define TIVLO_SELECT_TOO_LONG 2        /* a path is longer than 260 characters */
#define TIVLO_SELECT_TOO_SHORT 3       /* a path is too short to be absolute */
#define TIVLO_SELECT_NOT_ABSOLUTE 4    /* a path is not a local absolute path */
#define TIVLO_SELECT_ILLEGAL_CHAR 5    /* a path holds a character names must not hold */
#define TIVLO_SELECT_NO_MEMORY 6       /* a record could not be allocated */
#define TIVLO_SELECT_FILES_DROPPED 7   /* files with such characters were left out */

/* Target-path mode of SetTargetPath: use the path as given. Any other value
 * names a special folder (CSIDL number) that each receiver resolves for its
 * logged-on user. */
#define TIVLO_TARGET_MODE_PATH 0xFFFFFFFFu

#endif /* TIVLO_TIVLO_CODES_H */
