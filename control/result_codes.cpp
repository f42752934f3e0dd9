#include "result_codes.h"

namespace kelb {

namespace {

struct entry {
    int32_t code;
    const char16_t* message;
};

const entry table[] = {
    {0, u"No error"},
    {1, u"Invalid compression level "},
    {2, u"The input file is the same as the output"},
    {3, u"The input file is empty "},
    {4, u"The outputfile file is empty "},
    {5, u"The input file or path is invalid"},
    {6, u"The output file or path is invalid"},
    {7, u"Already running , call the cancel function or wait for the end of execution"},
    {8, u"Unable to open input file"},
    {9, u"Unable to open output file"},
    {10, u"Error writing compressed file"},
    {11, u"Unexpected compression error"},
    {12, u"Unexpected uncompression error"},
    {13, u"Damaged compressed file"},
    {14, u"Not a valid Bzip2 file"},
    {15, u"Data error"},
    {107, u"Cannot open input file"},
    {108, u"Cannot open output file"},
    {114, u"Cannot write to output file"},
    {116, u"Unexpected compression error"},
    {119, u"User cancel"},
    {120, u"Cannot initialize compression"},
    {121, u"Cannot initialize decompression"},
    {122, u"Not a valid Bzip3 file"},
    {123, u"MD5 checksum data error"},
    {124, u"Unexpected uncompression error"},
    {125, u"Memory allocation error during decompression"},
    {126, u"Damaged compressed file"},
    {255, u"Unexpected error"},
};

}  // namespace

const char16_t* result_message(int32_t code)
{
    for (const entry& e : table)
        if (e.code == code)
            return e.message;
    return nullptr;
}

}  // namespace kelb
