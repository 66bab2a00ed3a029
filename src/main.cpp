#include "driver/run.hpp"

int main(int argc, char** argv) { return geos::run(argc, argv); }
