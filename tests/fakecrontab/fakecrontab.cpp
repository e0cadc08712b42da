// The crontab program for the tests: the table lives in the file RANUPA_FAKE_CRONTAB names.
// "-l" prints it (without one: "no crontab for ..." and exit 1, as cron says), "-" replaces it
// with standard input, refusing a job line without five time fields and a command, as cron does.
// RANUPA_FAKE_CRONTAB_SLEEP_MS makes "-l" answer that much later, as a hanging cron would.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

int main(int argc, char* argv[])
{
    const char* table = std::getenv("RANUPA_FAKE_CRONTAB");
    const std::string option = argc == 2 ? argv[1] : "";
    if (table == nullptr || (option != "-l" && option != "-")) {
        return 2;
    }
    if (option == "-l") {
        if (const char* sleep = std::getenv("RANUPA_FAKE_CRONTAB_SLEEP_MS")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleep)));
        }
        std::ifstream in(table);
        if (!in) {
            std::cerr << "no crontab for tester\n";
            return 1;
        }
        std::cout << in.rdbuf();
        return 0;
    }
    const std::string input(std::istreambuf_iterator<char>(std::cin), {});
    std::istringstream lines(input);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string field;
        const bool job = (fields >> field) && field[0] != '#' && field.find('=') == field.npos;
        for (int i = 0; job && i < 5; ++i) { // each time field, then what follows it
            if (field.find_first_not_of("0123456789*/,-") != field.npos || !(fields >> field)) {
                std::cerr << "errors in crontab file, can't install.\n";
                return 1;
            }
        }
    }
    std::ofstream(table) << input;
    return 0;
}
