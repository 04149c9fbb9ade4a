#include "engine/obs-fixture.hpp"

int main(int argc, char **argv)
{
	return obstest::runWithObs(argc, argv);
}
