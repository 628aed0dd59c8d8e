#!/usr/bin/env bash
# Instruction counts (callgrind) per call of the function each CPU benchmark
# exercises, at a few input sizes: deterministic figures for before/after
# comparisons on a machine shared with other work.
#
#   bench/profile.sh [BUILD_DIR] > docs/perf/callgrind.tsv
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build/bench}/bench"
ir="$here/callgrind_ir.py"

# binary  benchmark  function (prefix of the demangled name)
cases=(
  "bench_http BM_URIParse/1024 ts::TNetURI::SetURI"
  "bench_http BM_URIParse/16384 ts::TNetURI::SetURI"
  "bench_http BM_EncodeParamValue/65536 ts::TNetURI::EncodeParamValue"
  "bench_http BM_MergePath/1024 ts::MergePath"
  "bench_http BM_HeaderPutValueReplace/1024 ts::TNetHeaderList::PutValue"
  "bench_http BM_HeaderPutValueReplace/4096 ts::TNetHeaderList::PutValue"
  "bench_http BM_HeaderValueOfMissing/1024 ts::TNetHeaderList::FindName"
  "bench_http BM_HeaderValueOfMissing/4096 ts::TNetHeaderList::FindName"
  "bench_http BM_HeaderFoldAt78/16384 ts::TNetHeaderList::PutValue"
  "bench_http BM_HeaderFoldAt1024/16384 ts::TNetHeaderList::PutValue"
  "bench_http BM_HeaderUnfold/256 ts::TNetHeaderList::ValueOfLine"
  "bench_http BM_HeaderUnfold/1024 ts::TNetHeaderList::ValueOfLine"
  "bench_http BM_ResponseHeadParse/64 ts::TNetResponseHeaderInfo::ParseHeaders"
  "bench_http BM_ResponseHeadParse/1024 ts::TNetResponseHeaderInfo::ParseHeaders"
  "bench_http BM_ResponseHeadParse/4096 ts::TNetResponseHeaderInfo::ParseHeaders"
  "bench_http BM_CookieStore/100 ts::TNetCookieManager::StoreSetCookie"
  "bench_http BM_CookieStore/1000 ts::TNetCookieManager::StoreSetCookie"
  "bench_http BM_CookieReplace/1000 ts::TNetCookieManager::StoreSetCookie"
  "bench_http BM_CookieTeardown/100 ts::TNetCookieManager::~TNetCookieManager"
  "bench_http BM_CookieTeardown/1000 ts::TNetCookieManager::~TNetCookieManager"
  "bench_http BM_CookieHeaderFor/100 ts::TNetCookieManager::CookieHeaderFor"
  "bench_http BM_CookieHeaderFor/1000 ts::TNetCookieManager::CookieHeaderFor"
  "bench_storage BM_InflateCue/0 ts::TStoredItem::ExtractTo"
  "bench_storage BM_InflateCue/1 ts::TStoredItem::ExtractTo"
  "bench_net BM_ReadLineBulk/4096 ts::TNetTCPConnection::ReadLine"
  "bench_net BM_ReadLineOneBytePerReceive/4096 ts::TNetTCPConnection::ReadLine"
  "bench_net BM_ReadLineOneBytePerReceive/16384 ts::TNetTCPConnection::ReadLine"
)

printf 'benchmark\tfunction\tcalls\tIr_per_call\n'
for c in "${cases[@]}"; do
  read -r binary name function <<<"$c"
  [ -x "$build/$binary" ] || continue
  python3 "$ir" "$build/$binary" "^${name}\$" "$function" | while IFS=$'\t' read -r fn calls per; do
    printf '%s\t%s\t%s\t%s\n' "$name" "$fn" "$calls" "$per"
  done
done
