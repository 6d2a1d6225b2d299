"""Keys and certificates made fresh for every simulator run with the openssl command.

Nothing here is committed: the test CA, the server certificate and the
recipients' keys live only in the state directory of one run. The server key is
EC P-256 because it is made in a few milliseconds; the recipients need RSA keys
since enveloping with DES-EDE3 uses RSA key transport.
"""

import os
import subprocess

# Our own minimal openssl configuration, so the result does not depend on the
# extensions a system's openssl.cnf happens to add.
_OPENSSL_CNF = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = placeholder
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, DNS:oauth2.localhost, DNS:oauth2.other.localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[recipient_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment, dataEncipherment
extendedKeyUsage = emailProtection
subjectKeyIdentifier = hash
"""

_DAYS = "3"


def _start(args, cnf):
    env = dict(os.environ, OPENSSL_CONF=cnf)
    return subprocess.Popen(["openssl"] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)


def _finish(procs):
    for proc in procs:
        out, _ = proc.communicate()
        if proc.returncode != 0:
            raise RuntimeError("openssl %s failed: %s" % (" ".join(proc.args[1:3]),
                                                          out.decode(errors="replace")))


def make_all(state_dir, recipients):
    """Writes tls/ca.pem, tls/server.pem, tls/server.key and recipients/<name>.crt/.key.

    The openssl runs that do not depend on each other run side by side, which
    keeps the start well under a second on a small machine.
    """
    tls = os.path.join(state_dir, "tls")
    rdir = os.path.join(state_dir, "recipients")
    os.makedirs(tls, exist_ok=True)
    os.makedirs(rdir, exist_ok=True)
    cnf = os.path.join(tls, "openssl.cnf")
    with open(cnf, "w") as f:
        f.write(_OPENSSL_CNF)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc"]
    ca_key, ca_pem = os.path.join(tls, "ca.key"), os.path.join(tls, "ca.pem")
    srv_key, srv_csr = os.path.join(tls, "server.key"), os.path.join(tls, "server.csr")
    first = [
        _start(["req", "-x509", "-config", cnf] + ec + ["-keyout", ca_key, "-out", ca_pem,
               "-subj", "/CN=Korvex Simulator Test CA", "-days", _DAYS,
               "-extensions", "ca_ext"], cnf),
        _start(["req", "-new", "-config", cnf] + ec + ["-keyout", srv_key, "-out", srv_csr,
               "-subj", "/CN=oauth2.localhost"], cnf),
    ]
    # Recipients are self-signed: the client only encrypts for them and never
    # checks a chain.
    for name in recipients:
        first.append(_start(
            ["req", "-x509", "-config", cnf, "-newkey", "rsa:2048", "-noenc",
             "-keyout", os.path.join(rdir, name + ".key"), "-out", os.path.join(rdir, name + ".crt"),
             "-subj", "/CN=" + name + "/O=Korvex Simulator", "-days", _DAYS,
             "-extensions", "recipient_ext"], cnf))
    _finish(first)
    _finish([_start(["x509", "-req", "-in", srv_csr, "-CA", ca_pem, "-CAkey", ca_key,
                     "-set_serial", "2", "-days", _DAYS, "-extfile", cnf,
                     "-extensions", "server_ext", "-out", os.path.join(tls, "server.pem")], cnf)])
    return {"ca_file": ca_pem, "server_cert": os.path.join(tls, "server.pem"), "server_key": srv_key}
