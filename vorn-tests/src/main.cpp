#include "vorn/tests/command.hpp"

int main(int argc, char** argv) { return vorn::tests::run_command(argc, argv); }
