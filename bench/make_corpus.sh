#!/usr/bin/env bash
# Builds the benchmark corpus: real clean files made by third-party tools or shipped in Debian
# packages (PE32 programs and DLLs, PDFs, JPEG/PNG/TIFF, fonts, MP3/ASF/MOV/AVI/SWF made with
# ffmpeg, compound documents (MSI) made with wixl, torrents made with mktorrent, scripts and
# text), plus the infected demo samples the fixture builders write. Installs what it needs
# (Debian packages); not run by CI.
#
#   bench/make_corpus.sh [CORPUS_DIR] [TARGET_MB]    (defaults: build/corpus, 300)
#   bench/make_corpus.sh --large [CORPUS_DIR] [TARGET_MB]    (defaults: build/corpus-large, 800)
#
# --large fills the corpus up to TARGET_MB with large files instead, as users' trees hold them:
# MP4/MOV/ASF clips and MP3s of several to tens of MB, and PDFs of several MB (JPEG pages).
#
# The same packages give the same corpus: files are generated from fixed inputs (ffmpeg test
# sources, fixed C programs, fixed seeds) and copied from fixed package paths; generated media
# is repeated with different parameters until TARGET_MB is reached.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
large=0
if [[ ${1:-} == --large ]]; then
  large=1
  shift
fi
corpus=${1:-$( ((large)) && echo build/corpus-large || echo build/corpus)}
target_mb=${2:-$( ((large)) && echo 800 || echo 300)}

packages=(ffmpeg gcc-mingw-w64-i686 win32-loader fonts-dejavu-core wixl ghostscript mktorrent
          clamav yara python3 libbenchmark-dev valgrind)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "== installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

rm -rf "$corpus"
mkdir -p "$corpus"/{pe,pdf,image,font,media,ole,torrent,script,infected}
corpus=$(cd "$corpus" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

echo "== PE32 programs and DLLs (mingw-w64 builds of small C programs)"
cat >"$work/hello.c" <<'EOF'
#include <stdio.h>
int main(int argc, char** argv) { printf("hello %d %s\n", argc, argv[0]); return 0; }
EOF
cat >"$work/sums.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
static unsigned table[256];
static unsigned crc(const unsigned char* p, size_t n) {
    unsigned c = ~0u;
    while (n--) c = table[(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}
int main(int argc, char** argv) {
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    for (int i = 1; i < argc; ++i) printf("%08x %s\n", crc((const unsigned char*)argv[i], strlen(argv[i])), argv[i]);
    return 0;
}
EOF
cat >"$work/gui.c" <<'EOF'
#include <windows.h>
int WINAPI WinMain(HINSTANCE h, HINSTANCE p, LPSTR cmd, int show) {
    (void)h; (void)p; (void)show;
    return MessageBoxA(NULL, cmd, "remedy corpus", MB_OK) == IDOK ? 0 : 1;
}
EOF
cat >"$work/lib.c" <<'EOF'
#include <windows.h>
__declspec(dllexport) int add(int a, int b) { return a + b; }
__declspec(dllexport) DWORD ticks(void) { return GetTickCount(); }
BOOL WINAPI DllMain(HINSTANCE h, DWORD why, LPVOID r) { (void)h; (void)why; (void)r; return TRUE; }
EOF
# A program with a large initialised table, so that PE sizes vary from KB to MB.
python3 - "$work/big.c" <<'EOF'
import random, sys
random.seed(17)
words = ",".join(str(random.randrange(1 << 32)) + "u" for _ in range(400000))
open(sys.argv[1], "w").write(
    "#include <stdio.h>\nconst unsigned data[] = {" + words + "};\n"
    "int main(void) { unsigned s = 0; for (unsigned i = 0; i < sizeof data / 4; ++i) s ^= data[i];"
    " printf(\"%u\\n\", s); return 0; }\n")
EOF
cc=i686-w64-mingw32-gcc
for opt in -O0 -O2 -Os; do
  for prog in hello sums big; do $cc $opt -o "$corpus/pe/$prog$opt.exe" "$work/$prog.c"; done
  $cc $opt -mwindows -o "$corpus/pe/gui$opt.exe" "$work/gui.c"
  $cc $opt -shared -o "$corpus/pe/lib$opt.dll" "$work/lib.c"
  $cc $opt -static -o "$corpus/pe/sums-static$opt.exe" "$work/sums.c"
done
echo "== PE files shipped in Debian packages (win32-loader, the mingw-w64 runtime DLLs)"
cp /usr/share/win32/win32-loader.exe "$corpus/pe/"
find /usr/lib/gcc/i686-w64-mingw32 -name '*.dll' | sort | while read -r f; do
  cp "$f" "$corpus/pe/$(basename "$(dirname "$f")")-$(basename "$f")"
done

echo "== PDFs (shipped, and written by ghostscript from text pages)"
find /usr/share/doc -name '*.pdf' -size -20M 2>/dev/null | sort | head -40 | while read -r f; do
  cp "$f" "$corpus/pdf/$(echo "${f#/usr/share/doc/}" | tr / _)"
done
for lic in /usr/share/common-licenses/*; do
  [[ -f $lic ]] || continue
  name=$(basename "$lic")
  python3 - "$lic" >"$work/$name.ps" <<'PY'
import sys
lines = open(sys.argv[1], errors="replace").read().splitlines()
def esc(t): return t.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")
print("%!PS\n/Courier findfont 9 scalefont setfont")
for start in range(0, len(lines), 70):
    y = 770
    for line in lines[start:start + 70]:
        print(f"40 {y} moveto ({esc(line[:100])}) show"); y -= 10.5
    print("0.2 setlinewidth 30 30 moveto 565 30 lineto stroke showpage")
PY
  gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="$corpus/pdf/gs-$name.pdf" "$work/$name.ps" \
    >/dev/null 2>&1 || rm -f "$corpus/pdf/gs-$name.pdf"
done

echo "== images (ffmpeg test sources)"
sizes=(64x64 320x240 640x480 1280x720 1920x1080)
for s in "${sizes[@]}"; do
  for src in testsrc2 mandelbrot smptebars; do
    ff -f lavfi -i "$src=size=$s:rate=1" -frames:v 1 "$corpus/image/$src-$s.png"
    ff -f lavfi -i "$src=size=$s:rate=1" -frames:v 1 -q:v 3 "$corpus/image/$src-$s.jpg"
    ff -f lavfi -i "$src=size=$s:rate=1" -frames:v 1 -compression_algo deflate "$corpus/image/$src-$s.tif"
  done
done
find /usr/share -type f \( -name '*.png' -o -name '*.jpg' -o -name '*.gif' -o -name '*.ico' -o -name '*.bmp' \) \
  -size +2k 2>/dev/null | sort | head -200 | while read -r f; do
  cp "$f" "$corpus/image/shipped-$(echo "${f#/usr/share/}" | tr / _)"
done

echo "== fonts"
find /usr/share/fonts -type f \( -name '*.ttf' -o -name '*.otf' -o -name '*.pfb' \) | sort | while read -r f; do
  cp "$f" "$corpus/font/"
done

echo "== compound documents (wixl)"
for n in 1 2 3 4; do
  mkdir -p "$work/msi$n"
  for ((k = 0; k < n * 8; ++k)); do cat /usr/share/common-licenses/GPL-3; done >"$work/msi$n/payload.txt"
  cp /usr/share/common-licenses/GPL-3 "$work/msi$n/license.txt"
  cat >"$work/msi$n/p.wxs" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Corpus $n" Language="1033" Version="1.0.$n" Manufacturer="remedy bench"
           UpgradeCode="12345678-1234-1234-1234-12345678900$n">
    <Package InstallerVersion="200" Compressed="yes" />
    <Media Id="1" Cabinet="p.cab" EmbedCab="yes" />
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder"><Directory Id="D" Name="Corpus$n">
        <Component Id="C" Guid="12345678-1234-1234-1234-1234567890a$n">
          <File Id="F1" Source="payload.txt" /><File Id="F2" Source="license.txt" />
        </Component>
      </Directory></Directory>
    </Directory>
    <Feature Id="All" Level="1"><ComponentRef Id="C" /></Feature>
  </Product>
</Wix>
EOF
  (cd "$work/msi$n" && wixl -o "$corpus/ole/corpus$n.msi" p.wxs) || echo "   (wixl failed for $n)"
done

echo "== scripts and text"
find /usr/lib/python3* -maxdepth 2 -name '*.py' -size +8k 2>/dev/null | sort | head -300 | while read -r f; do
  cp "$f" "$corpus/script/py-$(basename "$f")"
done
find /usr/share/perl* -name '*.pm' -size +8k 2>/dev/null | sort | head -200 | while read -r f; do
  cp "$f" "$corpus/script/pm-$(echo "$f" | md5sum | cut -c1-8)-$(basename "$f")"
done
find /usr/bin -maxdepth 1 -type f -size +2k -size -200k 2>/dev/null | sort | while read -r f; do
  head -c 2 "$f" | grep -q '#!' && cp "$f" "$corpus/script/bin-$(basename "$f")"
done
find /usr/share/doc -name '*.html' -size +8k 2>/dev/null | sort | head -100 | while read -r f; do
  cp "$f" "$corpus/script/doc-$(echo "$f" | md5sum | cut -c1-8).html"
done

echo "== torrents (mktorrent)"
for d in font pdf image; do
  mktorrent -a http://tracker.invalid/announce -o "$corpus/torrent/$d.torrent" "$corpus/$d" >/dev/null
done

echo "== infected samples (fixture builders)"
cmake --preset default >/dev/null
cmake --build build/default -j 2 --target remedy_demo_samples >/dev/null
build/default/bin/remedy_demo_samples "$work/demo" >/dev/null
cp -a "$work/demo/samples/." "$corpus/infected/"

if ((large)); then
  echo "== large PDFs (JPEG pages through ghostscript) and media (ffmpeg) up to $target_mb MB"
  viewjpeg=$(ls /usr/share/ghostscript/*/lib/viewjpeg.ps | head -1)
  for k in $(seq 1 12); do
    ff -f lavfi -i "mandelbrot=size=1920x1080:rate=1:start_scale=$((k + 1))" -frames:v 1 -q:v 2 "$work/page$k.jpg"
  done
  for d in $(seq 1 8); do
    pages=""
    for k in $(seq 1 $((4 * d))); do pages+="($work/page$(((k + d) % 12 + 1)).jpg) viewJPEG showpage "; done
    gs -q -dBATCH -dNOPAUSE -dSAFER --permit-file-read="$work/*" -sDEVICE=pdfwrite \
      -o "$corpus/pdf/pages$d.pdf" "$viewjpeg" -c "$pages" >/dev/null 2>&1 || rm -f "$corpus/pdf/pages$d.pdf"
  done
  n=0
  while (($(du -sm "$corpus" | cut -f1) < target_mb)); do
    n=$((n + 1))
    dur=$((20 + n * 10))
    ff -f lavfi -i "sine=frequency=$((110 * n)):duration=$((dur * 4))" -c:a libmp3lame -b:a 256k "$corpus/media/song$n.mp3"
    ff -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=$dur" -f lavfi -i "sine=duration=$dur" \
       -c:v libx264 -preset ultrafast -b:v 4M -c:a aac "$corpus/media/movie$n.mp4"
    ff -f lavfi -i "testsrc=size=960x540:rate=25:duration=$dur" -f lavfi -i "sine=duration=$dur" \
       -c:v mpeg4 -q:v 3 -c:a aac "$corpus/media/movie$n.mov"
    ff -f lavfi -i "testsrc2=size=960x540:rate=25:duration=$dur" -f lavfi -i "sine=duration=$dur" \
       -c:v wmv2 -b:v 4M -c:a wmav2 "$corpus/media/movie$n.asf"
    ((n < 20)) || break
  done
fi

echo "== media (ffmpeg) up to $target_mb MB"
n=0
while (($(du -sm "$corpus" | cut -f1) < target_mb)); do
  n=$((n + 1))
  dur=$((5 + n * 3))
  ff -f lavfi -i "sine=frequency=$((220 * n)):duration=$dur" -c:a libmp3lame -b:a 192k "$corpus/media/tone$n.mp3"
  ff -f lavfi -i "testsrc2=size=640x360:rate=25:duration=$dur" -f lavfi -i "sine=duration=$dur" \
     -c:v wmv2 -b:v 2M -c:a wmav2 "$corpus/media/clip$n.asf"
  ff -f lavfi -i "testsrc2=size=640x360:rate=25:duration=$dur" -f lavfi -i "sine=duration=$dur" \
     -c:v mpeg4 -q:v 4 -c:a aac "$corpus/media/clip$n.mov"
  ff -f lavfi -i "smptebars=size=320x240:rate=25:duration=$dur" -c:v flv -an "$corpus/media/clip$n.swf"
  ff -f lavfi -i "testsrc=size=320x240:rate=25:duration=$dur" -c:v msmpeg4 -an "$corpus/media/clip$n.avi"
  ((n < 40)) || break
done

files=$(find "$corpus" -type f | wc -l)
echo "== $corpus: $files files, $(du -sm "$corpus" | cut -f1) MB"
for d in "$corpus"/*/; do printf '   %-10s %5d files %6d MB\n' "$(basename "$d")" "$(find "$d" -type f | wc -l)" "$(du -sm "$d" | cut -f1)"; done
