// hello_cxx.cpp: an extension in C++, built outside the tree against an
// installed zelt. ZL_INIT gives its entry point C linkage, which the loader
// needs to find it. IO#hello_cxx answers the length of a greeting that it
// joins from words, so that instances of the C++ library's templates
// (std::vector<std::string>) are compiled into the extension: they must not
// be exported beside Init_hello_cxx.
#include <zelt.h> // zl_define_method, zl_cIO, the IO checks, ZL_INIT

#include <string> // std::string
#include <vector> // std::vector

static zl_value io_hello_cxx(zl_value self) {
    zl_io_check_closed(zl_io_record(zl_io_taint_check(self))); // IOError once closed
    std::vector<std::string> words;
    for (const char *word : {"hello", "from", "C++"}) words.emplace_back(word);
    std::string greeting;
    for (const std::string &word : words) greeting += (greeting.empty() ? "" : " ") + word;
    return zl_int_new(static_cast<int32_t>(greeting.size())); // 14: "hello from C++"
}

ZL_INIT(hello_cxx) { zl_define_method(zl_cIO, "hello_cxx", ZL_FUNC(io_hello_cxx), 0); }
