#include "key_args.h"
#include "stdout_mode.h"

int main(int argc, char *argv[]) {
    prepareStdout();
    return handleKeyArgs(argc, argv);
}
