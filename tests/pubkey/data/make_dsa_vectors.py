#!/usr/bin/env python3
"""DSA keys and signatures made by Python's cryptography package, for the
interoperability tests: one line per key size,

    pbits qbits p q g y x hash-id digest r s   (hex, hash ids as RFC 4880)

The 2048/224 group comes from openssl, which lets the subgroup size be chosen."""
import hashlib
import subprocess
import tempfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

HASHES = {160: (2, hashes.SHA1(), hashlib.sha1), 224: (11, hashes.SHA224(), hashlib.sha224),
          256: (8, hashes.SHA256(), hashlib.sha256)}


def params_2048_224():
    with tempfile.NamedTemporaryFile(suffix=".pem") as f, tempfile.NamedTemporaryFile(suffix=".pem") as k:
        subprocess.run(["openssl", "genpkey", "-genparam", "-algorithm", "DSA", "-pkeyopt",
                        "dsa_paramgen_bits:2048", "-pkeyopt", "dsa_paramgen_q_bits:224", "-out", f.name],
                       check=True, capture_output=True)
        subprocess.run(["openssl", "genpkey", "-paramfile", f.name, "-out", k.name], check=True,
                       capture_output=True)
        loaded = serialization.load_pem_private_key(open(k.name, "rb").read(), password=None)
        pn = loaded.private_numbers().public_numbers.parameter_numbers
        return dsa.DSAParameterNumbers(pn.p, pn.q, pn.g).parameters()


def main():
    lines = []
    for pbits, qbits in ((1024, 160), (2048, 224), (2048, 256), (3072, 256)):
        if qbits == 224:
            params = params_2048_224()
        else:
            params = dsa.generate_parameters(key_size=pbits)
        key = params.generate_private_key()
        nums = key.private_numbers()
        pub = nums.public_numbers
        pn = pub.parameter_numbers
        assert pn.p.bit_length() == pbits and pn.q.bit_length() == qbits
        hid, h, hl = HASHES[qbits]
        message = b"interoperability message for DSA-%d/%d" % (pbits, qbits)
        r, s = decode_dss_signature(key.sign(message, h))
        digest = hl(message).hexdigest()
        fields = [pbits, qbits] + ["%x" % v for v in (pn.p, pn.q, pn.g, pub.y, nums.x)] + \
                 [hid, digest, "%x" % r, "%x" % s]
        lines.append(" ".join(str(f) for f in fields))
    with open("dsa_vectors.txt", "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
