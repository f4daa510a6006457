#include "base/thread_name.h"

#include <pthread.h>

namespace tessarune {

void set_current_thread_name(const std::string& name) {
    std::string cut = name.substr(0, 15);
    pthread_setname_np(pthread_self(), cut.c_str());
}

}  // namespace tessarune
