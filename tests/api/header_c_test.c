/* The public header compiles as C and the shared library links from C. */
#include <stdio.h>
#include <string.h>

#include "tivlo/tivlo.h"

static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    (void)context, (void)message, (void)wParam, (void)lParam;
}

int main(void) {
    uint32_t out[401];
    memset(out, 0xFF, sizeof out);
    TivloWindow window = TivloCreateWindow(Proc, NULL);
    int ok = GetErrInfo(out) == 0 && out[0] == 0 && StopReceive() == 1 && window != 0 &&
             TivloDestroyWindow(window) == 1 && TivloDestroyWindow(window) == 0;
    TivloSetLogSink(NULL, NULL);
    puts(ok ? "c host ok" : "c host FAILED");
    return ok ? 0 : 1;
}
