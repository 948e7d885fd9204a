#!/usr/bin/env python3
"""A minimal eSCL scanner for the end-to-end benchmark's peer (bench/e2e): it replays JPEG pages
captured from the simulated scanner, so that an eSCL backend decodes exactly the pages our
driver receives.

  escl_emulator.py [--listen 127.0.0.1] --job SOURCE DPI PAGE.jpg [PAGE.jpg...] [--job ...]

SOURCE is Platen or Feeder. A scan job (POST /eSCL/ScanJobs) is answered 201 with its Location;
its NextDocument gives the pages of the --job of the same source and resolution in order, then
404 (the end of the job). The colour mode and scan region asked for are accepted and ignored: the
pages are the ones captured with the same region. Prints "listening PORT" once it accepts
connections (port chosen by the system); stops on SIGTERM. Loopback only: it is a benchmark
fixture, not a scanner.
"""
import argparse
import http.server
import signal
import sys
import threading
import xml.etree.ElementTree as ET

SCAN_NS = "http://schemas.hp.com/imaging/escl/2011/05/03"
PWG_NS = "http://www.pwg.org/schemas/2010/12/sm"

# A4 within a 296.9 mm platen, in the protocol's three-hundredths of an inch.
MAX_WIDTH, MAX_HEIGHT = 2550, 3507


def input_caps(tag, resolutions):
    """One source's capabilities: colour and grey JPEG at the resolutions pages exist for."""
    res = "".join("<scan:DiscreteResolution><scan:XResolution>%d</scan:XResolution>"
                  "<scan:YResolution>%d</scan:YResolution></scan:DiscreteResolution>" % (r, r)
                  for r in sorted(resolutions))
    return ("<scan:%s><scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>%d</scan:MaxWidth>"
            "<scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>%d</scan:MaxHeight>"
            "<scan:MaxScanRegions>1</scan:MaxScanRegions><scan:SettingProfiles><scan:SettingProfile>"
            "<scan:ColorModes><scan:ColorMode>RGB24</scan:ColorMode><scan:ColorMode>Grayscale8</scan:ColorMode>"
            "</scan:ColorModes><scan:DocumentFormats><pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat>"
            "<scan:DocumentFormatExt>image/jpeg</scan:DocumentFormatExt></scan:DocumentFormats>"
            "<scan:SupportedResolutions><scan:DiscreteResolutions>%s</scan:DiscreteResolutions>"
            "</scan:SupportedResolutions><scan:ColorSpaces><scan:ColorSpace>sRGB</scan:ColorSpace>"
            "</scan:ColorSpaces></scan:SettingProfile></scan:SettingProfiles>"
            "<scan:SupportedIntents><scan:Intent>Document</scan:Intent><scan:Intent>Photo</scan:Intent>"
            "</scan:SupportedIntents><scan:MaxOpticalXResolution>1200</scan:MaxOpticalXResolution>"
            "<scan:MaxOpticalYResolution>1200</scan:MaxOpticalYResolution></scan:%s>"
            % (tag, MAX_WIDTH, MAX_HEIGHT, res, tag))


def capabilities(jobs):
    platen = {dpi for (source, dpi) in jobs if source == "Platen"} or {300}
    feeder = {dpi for (source, dpi) in jobs if source == "Feeder"}
    adf = ("<scan:Adf>%s<scan:FeederCapacity>100</scan:FeederCapacity><scan:AdfOptions>"
           "<scan:AdfOption>DetectPaperLoaded</scan:AdfOption></scan:AdfOptions></scan:Adf>"
           % input_caps("AdfSimplexInputCaps", feeder)) if feeder else ""
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<scan:ScannerCapabilities xmlns:scan="%s" xmlns:pwg="%s">'
            "<pwg:Version>2.63</pwg:Version><pwg:MakeAndModel>Benchmark eSCL peer</pwg:MakeAndModel>"
            "<pwg:SerialNumber>E2E0001</pwg:SerialNumber><scan:UUID>4509a320-00a0-008f-00b6-002507510eca</scan:UUID>"
            "<scan:Platen>%s</scan:Platen>%s</scan:ScannerCapabilities>"
            % (SCAN_NS, PWG_NS, input_caps("PlatenInputCaps", platen), adf)).encode()


# Idle with paper in the feeder, always: each feeder job gets its pages whatever came before.
STATUS = ('<?xml version="1.0" encoding="UTF-8"?>\n<scan:ScannerStatus xmlns:scan="%s" xmlns:pwg="%s">'
          "<pwg:Version>2.63</pwg:Version><pwg:State>Idle</pwg:State>"
          "<scan:AdfState>ScannerAdfLoaded</scan:AdfState></scan:ScannerStatus>" % (SCAN_NS, PWG_NS)).encode()


class Scanner:
    """The captured pages and the jobs under way; the handler threads share it under `lock`."""

    def __init__(self, jobs):
        self.pages = {key: [open(p, "rb").read() for p in paths] for key, paths in jobs.items()}
        self.caps = capabilities(jobs)
        self.lock = threading.Lock()
        self.jobs = {}  # job number -> pages not yet sent, until the job is deleted
        self.next_job = 1

    def create(self, settings):
        root = ET.fromstring(settings)
        source = root.findtext("{%s}InputSource" % PWG_NS) or "Platen"
        dpi = int(root.findtext("{%s}XResolution" % SCAN_NS) or "300")
        pages = self.pages.get((source, dpi))
        if pages is None:
            return None
        with self.lock:
            number = self.next_job
            self.next_job += 1
            self.jobs[number] = list(pages)
        return number

    def next_document(self, number):
        with self.lock:
            pages = self.jobs.get(number)
            return pages.pop(0) if pages else None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    scanner = None

    def log_message(self, *args):
        pass

    def reply(self, code, body=b"", content_type="text/xml", headers=()):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if body:
            self.wfile.write(body)

    def job_number(self, suffix=""):
        parts = self.path.split("/")  # "", "eSCL", "ScanJobs", N[, suffix]
        if len(parts) < 4 or parts[2] != "ScanJobs" or not parts[3].isdigit():
            return None
        if suffix and parts[4:] != [suffix]:
            return None
        return int(parts[3])

    def do_GET(self):
        if self.path == "/eSCL/ScannerCapabilities":
            self.reply(200, self.scanner.caps)
        elif self.path == "/eSCL/ScannerStatus":
            self.reply(200, STATUS)
        elif self.job_number("NextDocument") is not None:
            page = self.scanner.next_document(self.job_number("NextDocument"))
            if page is None:
                self.reply(404)
            else:
                self.reply(200, page, "image/jpeg")
        else:
            self.reply(404)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path != "/eSCL/ScanJobs":
            self.reply(404)
            return
        try:
            number = self.scanner.create(body)
        except (ET.ParseError, ValueError):
            number = None
        if number is None:
            self.reply(409)
            return
        host = self.headers.get("Host", "%s:%d" % self.server.server_address[:2])
        self.reply(201, headers=[("Location", "http://%s/eSCL/ScanJobs/%d" % (host, number))])

    def do_DELETE(self):
        number = self.job_number()
        with self.scanner.lock:
            known = self.scanner.jobs.pop(number, None) is not None
        self.reply(200 if known else 404)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--listen", default="127.0.0.1")
    parser.add_argument("--job", nargs="+", action="append", required=True, metavar="SOURCE DPI PAGE",
                        help="Platen|Feeder, the resolution, and the JPEG pages of such a job")
    args = parser.parse_args()
    jobs = {}
    for job in args.job:
        if len(job) < 3 or job[0] not in ("Platen", "Feeder"):
            parser.error("--job SOURCE DPI PAGE.jpg...")
        jobs[(job[0], int(job[1]))] = job[2:]
    Handler.scanner = Scanner(jobs)
    server = http.server.ThreadingHTTPServer((args.listen, 0), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("listening %d" % server.server_address[1], flush=True)
    server.serve_forever()
    server.server_close()


if __name__ == "__main__":
    sys.exit(main())
