# Sourced by scripts/demo and scripts/screenshots: a practice of its own
# under $DEMO, on this machine only. Sets HOME and the XDG folders to it,
# starts the trust-center simulator on loopback until the calling script
# ends (SIM_PID; UPLOADS names where its uploads land), writes the settings a
# practice's support would write for it, leaves a response for the practice
# at the trust center and drops sample invoices into the invoice directory.
# Needs ROOT (the source tree) and DEMO (an absolute directory).

# A practice of its own: nothing of the real home is read or written.
export HOME="$DEMO/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
export XDG_DOCUMENTS_DIR="$HOME/Documents" XDG_RUNTIME_DIR="$DEMO/run"
export KORVEX_MACHINE_STATE_DIR="$DEMO/machine"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DOCUMENTS_DIR" "$XDG_RUNTIME_DIR" "$KORVEX_MACHINE_STATE_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY LC_ALL LC_MESSAGES
export LANG=de_CH.UTF-8

# The trust center, until this script ends.
SIM="$DEMO/trustcenter"
python3 "$ROOT/testing/trustcenter/simulator.py" --state-dir "$SIM" --time-limit 900 >"$DEMO/simulator.out" 2>&1 &
SIM_PID=$!
trap 'kill $SIM_PID 2>/dev/null || true' EXIT INT TERM
i=0
while [ ! -s "$SIM/sim.json" ]; do
  i=$((i + 1))
  if [ $i -gt 300 ] || ! kill -0 $SIM_PID 2>/dev/null; then
    echo "the trust-center simulator did not start:" >&2
    cat "$DEMO/simulator.out" >&2
    exit 1
  fi
  sleep 0.1
done
field() { python3 -c "import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])" "$SIM/sim.json" "$1"; }
HTTPS_PORT=$(field https_port)
HTTP_PORT=$(field http_port)
CA_FILE=$(field ca_file)
UPLOADS=$(field uploads_dir)
RESPONSES=$(field responses_dir)

# Responses the trust center holds for the practice.
mkdir -p "$RESPONSES/Z1234"
cat >"$RESPONSES/Z1234/answer-R-2026-0001.pdf" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<response xmlns="urn:belmor:fixture:invoice:1.0" number="R-2026-0001" status="paid" amount="123.45"/>
XML

# The settings a practice's support would write for this trust center.
SETTINGS="$XDG_CONFIG_HOME/Belmor/korvex-ordiva"
mkdir -p "$SETTINGS"
cat >"$SETTINGS/korvex.ini" <<INI
[globals]
workDir=$DEMO/work/
inputDir=$DEMO/Rechnungen/
outputDir=$DEMO/Antworten/
zsrDownFilter=*
trustCenterID=1
downUrl=http://localhost:$HTTPS_PORT/download
certUrl=http://localhost:$HTTPS_PORT/certificates
caFile=$CA_FILE
hinAuthUrl=http://localhost:$HTTP_PORT
hinTokenUrl=https://oauth2.localhost:$HTTPS_PORT
hinStartPage=http://localhost:$HTTP_PORT/start
INI
mkdir -p "$DEMO/Rechnungen" "$DEMO/Antworten"

# The HIN login happens in the "browser": the stand-in logs in like a user.
export KORVEX_BROWSER="$ROOT/testing/trustcenter/browser.py"
# An update offer is declined.
export KORVEX_CONFIRM=false

# Sample invoices: two valid ones, the first again under another name (a
# duplicate), one that no rule knows, one that breaks its schema; and Swiss
# general invoice requests as practices send them: a physician's invoice in
# either version, the reversal of the 5.0 one, and a 4.5 invoice with a
# report of about 730 KB attached.
FIXTURES="$ROOT/testing/trustcenter/config/invoices"
cp "$FIXTURES/invoice-1.0-valid.xml" "$DEMO/Rechnungen/praxis-0001.xml"
cp "$FIXTURES/invoice-2.0-valid.xml" "$DEMO/Rechnungen/praxis-0002.xml"
cp "$FIXTURES/invoice-1.0-valid.xml" "$DEMO/Rechnungen/praxis-0001-nochmals.xml"
cp "$FIXTURES/unknown-format.xml" "$DEMO/Rechnungen/fremdformat.xml"
cp "$FIXTURES/invoice-1.0-schema-error.xml" "$DEMO/Rechnungen/fehlerhaft.xml"
for sample in gir-4.5-physician gir-4.5-attachment gir-5.0-physician gir-5.0-storno; do
  cp "$FIXTURES/$sample.xml" "$DEMO/Rechnungen/$sample.xml"
done
