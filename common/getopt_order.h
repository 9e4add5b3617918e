// Both programs stop reading options at the first argument that is not an
// option, as BSD getopt does. glibc permutes arguments unless the option
// string starts with '+', which BSD getopt would take as an option letter.
#ifndef KELV_COMMON_GETOPT_ORDER_H_
#define KELV_COMMON_GETOPT_ORDER_H_

#ifdef __GLIBC__
#define KELV_GETOPT_IN_ORDER "+"
#else
#define KELV_GETOPT_IN_ORDER ""
#endif

#endif  // KELV_COMMON_GETOPT_ORDER_H_
