/*
 * Loads the driver library the way a host does and checks where its messages
 * go. Run with the library path and a mode:
 *   stderr   no host logging library can be found: messages go to stderr
 *   teskar   the stand-in libteskar.so is found: it receives the message
 * Exits 0 when the message arrived where expected. The C library has an
 * err(3) that ends the process with the level as its status; reaching the end
 * of this program proves it was never called.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelwnsrp.h"

typedef int32_t (*KelMainFunction)(KelRequest *);

static int fail(const char *what) {
    fprintf(stdout, "host_log_check: %s\n", what);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) return fail("usage: host_log_check LIBRARY stderr|teskar");
    const char *mode = argv[2];

    char captured[] = "/tmp/host_log_check_XXXXXX";
    int file = mkstemp(captured);
    if (file < 0) return fail("cannot make a capture file");
    fflush(stderr);
    int saved = dup(2);
    dup2(file, 2);

    void *driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    KelMainFunction kelMain = driver ? (KelMainFunction)dlsym(driver, "KelMain") : NULL;
    int32_t result = -100;
    if (kelMain != NULL) {
        DriverState state;
        memset(&state, 0, sizeof state);
        KelRequest request = {&state, KEL_CMD_WARM_START, 0, 0, NULL};
        result = kelMain(&request);
    }
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    if (kelMain == NULL) return fail(dlerror());
    if (result != 0) return fail("warm start did not return 0");

    char text[512] = {0};
    lseek(file, 0, SEEK_SET);
    ssize_t n = read(file, text, sizeof text - 1);
    close(file);
    unlink(captured);
    if (n < 0) n = 0;
    text[n] = '\0';

    if (strcmp(mode, "stderr") == 0) {
        if (strcmp(text, "[32] KELSRP: Warm start\n") != 0) return fail("message not on stderr");
        return 0;
    }
    if (strcmp(mode, "teskar") == 0) {
        if (text[0] != '\0') return fail("message went to stderr instead of the host library");
        void *host = dlopen("libteskar.so", RTLD_NOW | RTLD_NOLOAD);
        if (host == NULL) return fail("libteskar.so was not loaded by the driver");
        int (*count)(void) = (int (*)(void))dlsym(host, "teskar_count");
        const char *(*message)(int) = (const char *(*)(int))dlsym(host, "teskar_text");
        int (*level)(int) = (int (*)(int))dlsym(host, "teskar_level");
        if (!count || !message || !level) return fail("stand-in library incomplete");
        if (count() != 1 || strcmp(message(0), "KELSRP: Warm start") != 0 || level(0) != 32) {
            return fail("the host library did not receive the message");
        }
        return 0;
    }
    return fail("unknown mode");
}
