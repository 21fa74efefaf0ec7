"""The service's certificate: the names and addresses it holds, the addresses a browser can open
the service at, and a self-signed one made for them (--make-certificate), so that no other
program is needed to serve phones over HTTPS. Making one needs the cryptography package
(Debian's python3-cryptography, or pip install cryptography); serving does not."""

import datetime
import ipaddress
import os
import socket
import ssl

# The longest validity a phone accepts for a certificate it is told to trust.
VALID_DAYS = 825


def certificate_names(path):
    """The DNS names and IP addresses (as text) of the certificate's alternative names and its
    subject's common name, as far as Python's own decoder reads them; None where it cannot."""
    try:
        decoded = ssl._ssl._test_decode_cert(path)
    except (AttributeError, OSError, ssl.SSLError):
        return None
    names = {value if kind == "DNS" else normal_address(value)
             for kind, value in decoded.get("subjectAltName", ()) if kind in ("DNS", "IP Address")}
    names.update(value for part in decoded.get("subject", ()) for key, value in part
                 if key == "commonName")
    return names


def normal_address(text):
    """An address as ipaddress writes it (the decoder writes IPv6 in full, with upper case)."""
    try:
        return str(ipaddress.ip_address(text.strip()))
    except ValueError:
        return text


def machine_addresses():
    """The machine's own IPv4 addresses beyond loopback, as far as it can tell."""
    addresses = set()
    try:
        for *_, address in socket.getaddrinfo(socket.gethostname(), None, socket.AF_INET):
            addresses.add(address[0])
    except OSError:
        pass
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))  # no packet is sent: the route names the address
            addresses.add(probe.getsockname()[0])
        except OSError:
            pass
    return sorted(a for a in addresses if not ipaddress.ip_address(a).is_loopback)


def names_to_open(host, cert):
    """The names a browser can open the service at: the address it listens on, or, for every
    address of the machine (0.0.0.0, ::), the certificate's names and the machine's own
    addresses, for no phone can open 0.0.0.0. Over HTTPS, only those the certificate holds:
    a browser refuses any other."""
    held = certificate_names(cert) if cert else None
    address = ipaddress.ip_address(host)
    if not address.is_unspecified:
        names = [host]
    else:
        # Names a phone can use first; this machine's own last, by address.
        names = sorted(n for n in held or () if "*" not in n and n != "localhost"
                       and not is_address(n))
        names += machine_addresses() + ["127.0.0.1" if address.version == 4 else "::1"]
    return names if held is None else [n for n in names if n in held]


def is_address(text):
    try:
        ipaddress.ip_address(text)
    except ValueError:
        return False
    return True


def names_to_hold(host, hosts):
    """The DNS names and addresses a certificate needs for a service that listens on host, and
    answers to the names hosts besides: the machine's name and localhost; the address it
    listens on or, listening on every address, the machine's addresses and loopback."""
    names = {socket.gethostname(), "localhost"} | set(hosts)
    if not is_address(host):
        names.add(host)
        return names
    address = ipaddress.ip_address(host)
    if address.is_unspecified:
        names.update(machine_addresses())
        names.update({"127.0.0.1"} if address.version == 4 else {"127.0.0.1", "::1"})
    else:
        names.add(str(address))
    return names


def make_certificate(names, cert_path, key_path, now=None):
    """Writes a self-signed certificate for the names (DNS names and addresses) to cert_path
    and its private key to key_path (owner only). It is its own authority, so that a phone can
    be told to trust it (a phone installs only an authority's certificate). Raises
    FileExistsError rather than replace either file: phones trust the one there."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    for path in (cert_path, key_path):
        if os.path.exists(path):
            raise FileExistsError(path)
    key = ec.generate_private_key(ec.SECP256R1())
    dns = sorted(n for n in names if not is_address(n))
    addresses = sorted((ipaddress.ip_address(n) for n in names if is_address(n)),
                       key=lambda a: (a.version, a))
    # Named after the machine, as a phone lists it among the certificates it trusts.
    machine = socket.gethostname()
    common_name = machine if machine in dns else next(
        (n for n in dns if n != "localhost"), "sendrel-web")
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name),
                         x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Sendrel web service")])
    now = now or datetime.datetime.now(datetime.timezone.utc)
    public = key.public_key()
    certificate = (
        x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
        .public_key(public).serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(hours=1))
        .not_valid_after(now + datetime.timedelta(days=VALID_DAYS))
        .add_extension(x509.SubjectAlternativeName(
            [x509.DNSName(n) for n in dns] + [x509.IPAddress(a) for a in addresses]), False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), True)
        .add_extension(x509.KeyUsage(
            digital_signature=True, key_cert_sign=True, crl_sign=False, content_commitment=False,
            key_encipherment=False, data_encipherment=False, key_agreement=False,
            encipher_only=False, decipher_only=False), True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), False)
        .sign(key, hashes.SHA256()))
    # The key first, made afresh for the owner alone; the certificate is no secret.
    with open(os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
        out.write(key.private_bytes(serialization.Encoding.PEM,
                                    serialization.PrivateFormat.TraditionalOpenSSL,
                                    serialization.NoEncryption()))
    with open(cert_path, "xb") as out:
        out.write(certificate.public_bytes(serialization.Encoding.PEM))
    return dns + [str(a) for a in addresses]
