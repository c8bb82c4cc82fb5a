/* A libteskar.so that lacks err but, like any library, depends on the C
 * library, whose err(3) ends the process. The driver must not pick that one
 * up through this library's dependencies but write to stderr instead. */
#include <stdio.h>

int teskar_something_else(const char *text) { return puts(text); }
