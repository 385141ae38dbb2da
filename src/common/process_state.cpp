// State for the whole process and forked children (see process_state.hpp).
#include "process_state.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace vm {

void at_fork_in_child(void (*renew)()) {
#ifndef _WIN32
    pthread_atfork(nullptr, nullptr, renew);
#else
    (void)renew;
#endif
}

}  // namespace vm
