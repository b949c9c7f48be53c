#include <clocale>
#include <cstring>
#include <ctime>
#include <cerrno>
#include <iostream>

#include "daemon/VEXAProxy.h"

namespace {
void SleepOneSecond() {
    timespec left{1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "ru-RU.UTF-8");
    std::cout << "Start VEXAProxy " << VEXAProxy::s_Version << " " << VEXAProxy::BuildDate() << " "
              << VEXAProxy::BuildTime() << std::endl;
    const char* refusal = "no \"service\" in launch command line";
    if (argc < 1) {
        std::cout << refusal << std::endl;
        return 0;
    }
    bool service = false;
    for (int i = 0; i < argc; ++i) {
        std::cout << i << " " << argv[i] << std::endl;
        if (std::strcmp(argv[i], "service") == 0) service = true;
    }
    if (!service) {
        std::cout << refusal << std::endl;
        return 0;
    }
    _Modul.Start();
    while (_Modul.IsRunning()) SleepOneSecond();
    _Modul.Stop();
    return 0;
}
