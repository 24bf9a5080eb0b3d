// The main of every test program that runs in the host with the module
// loaded from the build tree.
#include "host.h"

int main(int argc, char **argv)
{
	return qm_test::run_all_tests(argc, argv);
}
