// swap_package.cpp -- does what another account on the machine would try
// between the updater's check of its package and the package's start:
// waits for FLAG (it holds the package's path), tries to write, delete,
// rename and replace the package, reads the work directory's access rules,
// writes what it found to REPORT and deletes FLAG so the updater goes on.
//
//   swap-package.exe FLAG REPORT DECOY
#include <windows.h>
#include <aclapi.h>

#include <stdio.h>
#include <string.h>

static void Line(FILE *report, const char *what, BOOL done)
{
    fprintf(report, "%s: %s\n", what, done ? "ALLOWED" : "refused");
}

// Nobody but this account (and the system itself) may do anything there.
// Wine keeps no access list of its own: it shows the Unix mode as one, so
// "others" with any right show up as Everyone.
static int OwnerOnly(const char *dir)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(dir, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return 0;
    DWORD user[128], size = 0, system[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD system_size = sizeof system;
    HANDLE token;
    int ok = dacl && dacl->AceCount > 0 && CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) &&
             OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    if (ok) {
        ok = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
        CloseHandle(token);
    }
    for (DWORD i = 0; ok && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        ok = GetAce(dacl, i, (void **)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
             (EqualSid((PSID)&ace->SidStart, ((TOKEN_USER *)user)->User.Sid) ||
              EqualSid((PSID)&ace->SidStart, (PSID)system));
    }
    LocalFree(descriptor);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc != 4) return 90;
    char package[MAX_PATH] = "";
    for (int waited = 0; !package[0]; waited += 20) {
        if (waited > 60000) return 91;
        FILE *flag = fopen(argv[1], "rb");
        if (flag) {
            if (!fgets(package, sizeof package, flag)) package[0] = '\0';
            fclose(flag);
        }
        if (!package[0]) Sleep(20);
    }
    FILE *report = fopen(argv[2], "wb");
    if (!report) return 92;
    HANDLE write = CreateFileA(package, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    Line(report, "write", write != INVALID_HANDLE_VALUE);
    if (write != INVALID_HANDLE_VALUE) CloseHandle(write);
    char moved[MAX_PATH + 8];
    snprintf(moved, sizeof moved, "%s.old", package);
    Line(report, "rename", MoveFileA(package, moved));
    Line(report, "replace", MoveFileExA(argv[3], package, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) ||
                                CopyFileA(argv[3], package, FALSE));
    Line(report, "delete", DeleteFileA(package));
    char dir[MAX_PATH];
    snprintf(dir, sizeof dir, "%s", package);
    char *slash = strrchr(dir, '\\');
    if (slash) *slash = '\0';
    fprintf(report, "directory: %s\n", OwnerOnly(dir) ? "owner-only" : "open to others");
    fclose(report);
    DeleteFileA(argv[1]);
    return 0;
}
