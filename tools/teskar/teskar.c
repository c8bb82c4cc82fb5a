#include "teskar.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TESKAR_MAX_MESSAGES 4096
#define TESKAR_TEXT_SIZE 512
#define TESKAR_FORMAT_SIZE 128

typedef struct Message {
    int level;
    char text[TESKAR_TEXT_SIZE];
    char format[TESKAR_FORMAT_SIZE];
} Message;

static Message messages[TESKAR_MAX_MESSAGES];
static int count;
static int echo = -1; /* -1: not decided yet, taken from the environment */
static teskar_listener listener;

static int echo_on(void) {
    if (echo < 0) {
        const char *value = getenv("TESKAR_ECHO");
        echo = value != NULL && strcmp(value, "1") == 0;
    }
    return echo;
}

int err(int level, const char *format, ...) {
    char text[TESKAR_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (count < TESKAR_MAX_MESSAGES) {
        Message *m = &messages[count++];
        m->level = level;
        snprintf(m->text, sizeof m->text, "%s", text);
        snprintf(m->format, sizeof m->format, "%s", format);
    }
    if (echo_on()) fprintf(stderr, "[%d] %s\n", level, text);
    if (listener != NULL) listener(level, text);
    return 0;
}

int teskar_count(void) { return count; }

int teskar_level(int index) {
    return index >= 0 && index < count ? messages[index].level : -1;
}

const char *teskar_text(int index) {
    return index >= 0 && index < count ? messages[index].text : "";
}

const char *teskar_format(int index) {
    return index >= 0 && index < count ? messages[index].format : "";
}

void teskar_clear(void) { count = 0; }

void teskar_set_echo(int on) { echo = on != 0; }

void teskar_set_listener(teskar_listener function) { listener = function; }
