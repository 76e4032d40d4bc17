/* The public header compiles as C and the shared library links from C. */
#include <stdio.h>
#include <string.h>

#include "tivlo/tivlo.h"

static int delivered;
static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    (void)context; (void)wParam; (void)lParam;
    if (message == TIVLO_MSG_TRANSFER_ENDED) delivered++;
}

int main(void) {
    uint32_t out[401];
    memset(out, 0xFF, sizeof out);
    if (GetErrInfo(out) != 0 || out[0] != 0) { puts("GetErrInfo"); return 1; }
    if (StopReceive() != 1) { puts("StopReceive"); return 1; }
    TivloWindow window = TivloCreateWindow(Proc, NULL);
    if (window == 0) { puts("TivloCreateWindow"); return 1; }
    if (TivloDestroyWindow(window) != 1) { puts("TivloDestroyWindow"); return 1; }
    if (TivloDestroyWindow(window) != 0) { puts("destroyed twice"); return 1; }
    TivloSetLogSink(NULL, NULL);
    puts("c host ok");
    return 0;
}
