// Boost.Beast and Boost.Asio's own functions, compiled once here rather than
// in every file that includes their headers (their separate compilation; the
// macros that ask for it come with the library that builds this file).
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
