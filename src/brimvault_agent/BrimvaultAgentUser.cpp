// The user-session agent's process entry.

#include "app/entry.h"

int main(int argc, char *argv[])
{
    return app::processEntry(argc, argv);
}
