#include "ui-fixture.hpp"

int main(int argc, char **argv)
{
	return uitest::runWithWidgets(argc, argv);
}
