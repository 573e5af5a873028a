/*
 * be_container.h - control of the container process from the backend: the
 * TCP probe of its port, the Kerberos-mode test and the start through its
 * start script. The backend keeps no handle on the container; the probe is
 * the only test of its state.
 */
#ifndef BE_HADOOP_BACKEND_BE_CONTAINER_H
#define BE_HADOOP_BACKEND_BE_CONTAINER_H

#include <netinet/in.h>
#include <stddef.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the start command buffer, terminator included. */
#define BE_CONTAINER_COMMAND_SIZE 3072
/* The start script in the container directory. */
#define BE_CONTAINER_SCRIPT "zrtHadoop_container"
/* The container configuration file, in the directory data beside the
 * container directory. */
#define BE_CONTAINER_CONF_FILE "kx_container_conf.xml"
/* Buffer the configuration file is loaded into. */
#define BE_CONTAINER_CONF_SIZE 100000
/* Seconds StartContainer waits after the start before it returns. */
#define BE_CONTAINER_START_PAUSE 5

/* An IPv4 socket address (port 0) for host: a dotted address as it is, else
 * the first IPv4 address the name resolves to, else 127.0.0.1 with a trace
 * line at level 2. A null host counts as unresolvable. */
struct sockaddr_in getInetAddress(const char *host);

/* 0 when a TCP connection to host (as getInetAddress reads it) and port
 * succeeds, 1 otherwise. The port text is read as a decimal number up to its
 * first non-digit; a number outside 0-65535 fails without a connection. The
 * connect blocks for the system's time-out; nothing is sent. */
int ContainerConnectPortCheck(const char *host, const char *port);

/* 1 when the container configuration file (found through HADOOP / KX_DIR)
 * loads completely and holds non-empty KerberosKeytabPath and
 * KerberosPrincipal elements under Configuration; 0 in every other case. */
int isKerberosMode(void);

/* Writes the start command of the container into command (size bytes):
 * "<kx_dir>/zrtHadoop_container start <dbglvl> &", or when as_root and
 * kerberos are both non-zero the same run through su as the owner of kx_dir,
 * detached with nohup.
 * The values go into a shell command unquoted, so they are refused unless
 * kx_dir is non-empty, consists of letters, digits and "/._+-" only and does
 * not start with '-', and dbglvl is a non-empty string of digits.
 * PEX_SUCCESS; PEX_FAIL with Error set (code 1, an error line logged) and
 * command empty when a value is refused, an argument is null or the command
 * would need size bytes or more. */
PEXRC BE_INF_build_container_command(const char *kx_dir, const char *dbglvl, int as_root,
                                     int kerberos, char *command, size_t size,
                                     PEXError *Error);

/* Starts the container with its start script, the debug level CONFIG /
 * DBGLVL ("0" when absent or empty) and the directory HADOOP / KX_DIR, in the
 * background through the system shell, then waits BE_CONTAINER_START_PAUSE
 * seconds. When the real user is the superuser and the configuration is in
 * Kerberos mode the script runs as the owner of the container directory.
 * PEX_SUCCESS once the shell has run, whatever its exit status (a failing
 * script shows only in the later probes). PEX_FAIL with Error set (code 1)
 * when KX_DIR is missing or empty ("cannot get KX_DIR"), the command is
 * refused (see BE_INF_build_container_command) or the shell cannot be run
 * ("Failed to create Container process."). */
PEXRC StartContainer(PEXError *Error);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_BACKEND_BE_CONTAINER_H */
