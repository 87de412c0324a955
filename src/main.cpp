#include "settings.h"

int main(int argc, char** argv) {
    if (!parse_command_line(argc, argv, g_settings)) return 1;
    if (!resolve_gpu_list(g_settings)) return 1;
    return 0;
}
