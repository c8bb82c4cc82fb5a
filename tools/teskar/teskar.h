/*
 * Stand-in for the host library that receives the driver's diagnostics.
 * It keeps every message (level, format, formatted text) so tests can assert
 * them, and can echo them to standard error for people watching a tool run.
 */
#ifndef TESKAR_H
#define TESKAR_H

#ifdef __cplusplus
extern "C" {
#endif

/* The host's logging function: a level, a printf format and its arguments. */
int err(int level, const char *format, ...);

int teskar_count(void);                  /* messages kept since the last clear */
int teskar_level(int index);             /* -1 for an index out of range */
const char *teskar_text(int index);      /* "" for an index out of range */
const char *teskar_format(int index);    /* the format as the driver passed it */
void teskar_clear(void);
/* Echo each message to standard error as "[level] text"; also switched on by
 * the environment variable TESKAR_ECHO=1. */
void teskar_set_echo(int on);
/* Also hand each message, as it comes, to listener (NULL: none). */
typedef void (*teskar_listener)(int level, const char *text);
void teskar_set_listener(teskar_listener listener);

#ifdef __cplusplus
}
#endif

#endif
