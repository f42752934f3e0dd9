// A host built against an installed copy: one file into bzip2 and back.
#include <kelbzip2.h>

#include <cstdio>

int main(int argc, char** argv)
{
    struct : kelbzip2::events {
        std::string codes;
        void ErrorCode(int32_t& code, std::string& message) override
        {
            printf("%d %s\n", code, message.c_str());
            codes += std::to_string(code) + " ";
        }
    } handlers;
    kelbzip2::event_loop loop;
    kelbzip2::KELBzip2 control(loop, handlers);
    std::string packed = std::string(argv[2]) + ".bz2";
    control.Compress(argv[1], packed, 9);
    loop.run();
    control.Decompress(packed, argv[2]);
    loop.run();
    return handlers.codes == "0 0 " ? 0 : 1;  // both jobs ended, each without an error
}
