"""The trust center's documents as it serves them, read once from the fixture tree.

The fixture files stay untouched; only the served configuration text carries
this run's port in place of "localhost:8443".
"""

import io
import os
import re
import xml.etree.ElementTree as ET
import zipfile

FIXTURE_PORT_TEXT = b"localhost:8443"


class Fixture:
    def __init__(self, config_src):
        self.config_src = os.path.abspath(config_src)
        with open(os.path.join(self.config_src, "korvex.xml"), "rb") as f:
            self.config_template = f.read()
        with open(os.path.join(self.config_src, "korvex.xsd"), "rb") as f:
            self.config_schema = f.read()
        root = ET.fromstring(self.config_template)
        self.package_name = root.get("package_name") or "kx-schemas.zip"
        self.recipients = []
        self.centers = []
        for center in root.iter("center"):
            for name in (center.get("rcpt") or "").split(","):
                name = name.strip()
                if name and name not in self.recipients:
                    self.recipients.append(name)
            match = re.search(r"/gate/([^/]+)/?$", center.get("url") or "")
            if match:
                self.centers.append(match.group(1))
        self.package_dir = os.path.join(self.config_src, "package")
        # Bare file name -> bytes; the client flattens the package the same way.
        self.package_files = {}
        self.package_zip = self._build_zip()

    def _build_zip(self):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
            for directory, subdirs, files in sorted(os.walk(self.package_dir)):
                subdirs.sort()
                relative = os.path.relpath(directory, self.package_dir)
                # Directory entries as zip tools write them: the client has to skip them.
                if relative != ".":
                    archive.writestr(relative.replace(os.sep, "/") + "/", b"")
                for name in sorted(files):
                    path = os.path.join(directory, name)
                    with open(path, "rb") as f:
                        data = f.read()
                    self.package_files[name] = data
                    archive.writestr(os.path.relpath(path, self.package_dir).replace(os.sep, "/"), data)
        return out.getvalue()

    def config_for_port(self, https_port):
        return self.config_template.replace(FIXTURE_PORT_TEXT, b"localhost:%d" % https_port)
