// Runs a program on a kernel that, as far as the program can tell, has no Landlock: the calls
// fail with ENOSYS, as on kernels before 5.13 or under container runtimes that refuse them.
//   without_landlock PROGRAM [ARGUMENT...]

#include <seccomp.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) return 2;
  for (const int call : {SCMP_SYS(landlock_create_ruleset), SCMP_SYS(landlock_add_rule),
                         SCMP_SYS(landlock_restrict_self)}) {
    if (seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), call, 0) != 0) return 2;
  }
  if (seccomp_load(filter) != 0) return 2;
  seccomp_release(filter);
  execv(argv[1], argv + 1);
  return 127;
}
