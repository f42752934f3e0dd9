// A host built against an installed copy: one file into bzip2 and back.
#include <kelbzip2.h>

#include <cstdio>
#include <fstream>
#include <sstream>

static std::string bytes(const char* path)
{
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

int main(int argc, char** argv)
{
    struct : kelbzip2::events {
        int failures = 0;
        void ErrorCode(int32_t& code, std::string& message) override
        {
            printf("%d %s\n", code, message.c_str());
            failures += code != 0;
        }
    } handlers;
    kelbzip2::event_loop loop;
    kelbzip2::KELBzip2 control(loop, handlers);
    if (argc != 3)
        return 2;
    std::string packed = std::string(argv[2]) + ".bz2";
    control.Compress(argv[1], packed, 9);
    loop.run();
    control.Decompress(packed, argv[2]);
    loop.run();
    return handlers.failures == 0 && bytes(argv[1]) == bytes(argv[2]) ? 0 : 1;
}
