// The subcommands of tavrin-pack. Each returns the process exit code.
#pragma once

int run_payload_command(int argc, char** argv);  // tavrin-pack payload --main NAME -o OUT DIR
int run_list_command(int argc, char** argv);     // tavrin-pack list APP.exe|PAYLOAD
int run_extract_command(int argc, char** argv);  // tavrin-pack extract APP.exe|PAYLOAD DIR
int run_exe_command(int argc, char** argv);      // tavrin-pack exe [--launcher STUB] ... -o APP.exe DIR
