#include "xml_parser.h"

#include <pthread.h>
#include <sys/random.h>

// One parser per thread, reset for each Probe instead of made anew, and
// freed when its thread ends (a cancelled one too).
static pthread_once_t parser_once = PTHREAD_ONCE_INIT;
static pthread_key_t parser_key;

// The secret that seeds the parser's name hashing against crafted
// collisions: drawn once for the process. Expat would otherwise draw a
// new one from the kernel at every reset, a system call per Probe. Zero
// (no random bytes to be had) leaves expat to draw its own.
static unsigned long hash_salt;

static void free_parser(void *parser)
{
    XML_ParserFree((XML_Parser)parser);
}

static void make_parser_key(void)
{
    pthread_key_create(&parser_key, free_parser);
    if (getrandom(&hash_salt, sizeof hash_salt, GRND_NONBLOCK) != (ssize_t)sizeof hash_salt)
        hash_salt = 0;
}

XML_Parser xml_thread_parser(void)
{
    pthread_once(&parser_once, make_parser_key);
    XML_Parser parser = (XML_Parser)pthread_getspecific(parser_key);
    if (parser) {
        XML_ParserReset(parser, NULL);  // clears the handlers and the salt too
    } else {
        parser = XML_ParserCreateNS(NULL, ' ');
        if (parser && pthread_setspecific(parser_key, parser) != 0) {
            XML_ParserFree(parser);
            return NULL;
        }
    }
    if (parser && hash_salt)
        XML_SetHashSalt(parser, hash_salt);
    return parser;
}
