#include "driver/driver.hpp"

int main(int argc, char** argv) { return geos::run(argc, argv); }
