// json_library.cpp: Boost.JSON compiled once into the program (it is used header-only).
#include <boost/json/src.hpp>
