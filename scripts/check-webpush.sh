#!/usr/bin/env bash
# Cross-checks the push layer against an independent implementation, outside
# the test suite: Node's http_ece must decrypt messages we encrypted, and
# Node's crypto must verify our VAPID tokens (raw r||s signatures).
# Needs node and npm; installs http_ece into a temporary prefix only.
#   scripts/check-webpush.sh [samples]
set -euo pipefail
cd "$(dirname "$0")/.."
samples=${1:-20}

bash scripts/build.sh webpush_sample >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
npm install --prefix "$work" --no-audit --no-fund --silent http_ece@1 >/dev/null
for _ in $(seq "$samples"); do build/helper/phone/push/webpush_sample; done > "$work/samples.json"

NODE_PATH="$work/node_modules" node - "$work/samples.json" <<'JS'
const fs = require('fs');
const crypto = require('crypto');
const ece = require('http_ece');

// The sample tool prints one JSON object after another.
const text = fs.readFileSync(process.argv[2], 'utf8');
const samples = JSON.parse('[' + text.trim().replace(/}\s*{/g, '},{') + ']');
const b64 = (s) => Buffer.from(s, 'base64url');

const checks = {};
const check = (name, ok) => { (checks[name] ??= []).push(Boolean(ok)); };
const attempt = (f) => { try { return f(); } catch (e) { return e; } };

for (const s of samples) {
  const receiver = crypto.createECDH('prime256v1');
  receiver.setPrivateKey(b64(s.ua_private));
  check('subscriber key matches its public point', receiver.getPublicKey().equals(b64(s.ua_public)));

  const params = { version: 'aes128gcm', privateKey: receiver, authSecret: s.auth };
  const body = b64(s.body);
  const plain = attempt(() => ece.decrypt(body, params));
  check('http_ece decrypts our aes128gcm body', Buffer.isBuffer(plain) && plain.toString('utf8') === s.plaintext);
  check('body is one record within 4096 bytes', body.length <= 4096 && body.readUInt32BE(16) === 4096 && body[20] === 65);
  const tampered = Buffer.from(body); tampered[tampered.length - 1] ^= 1;
  check('http_ece refuses a tampered body', attempt(() => ece.decrypt(tampered, params)) instanceof Error);

  const [h, c, sig] = s.jwt.split('.');
  const point = b64(s.vapid_public);
  const key = crypto.createPublicKey({ format: 'jwk', key: {
    kty: 'EC', crv: 'P-256', x: point.subarray(1, 33).toString('base64url'), y: point.subarray(33).toString('base64url') } });
  const verify = (input, signature) => crypto.verify('sha256', Buffer.from(input), { key, dsaEncoding: 'ieee-p1363' }, signature);
  check('node verifies the JWT signature (ieee-p1363, r||s)', b64(sig).length === 64 && verify(`${h}.${c}`, b64(sig)));
  check('node rejects the signature over altered claims', !verify(`${h}.${c}x`, b64(sig)));
  const header = JSON.parse(b64(h)); const claims = JSON.parse(b64(c));
  check('JWT header is ES256', header.alg === 'ES256' && header.typ === 'JWT');
  check('claims: aud, sub, exp 12 h ahead (at most 24 h)',
        claims.aud === s.audience && /^https:\/\//.test(claims.sub) && claims.exp === s.now + 12 * 3600
        && claims.exp - Math.floor(Date.now() / 1000) <= 24 * 3600);
  check('Authorization is "vapid t=<jwt>, k=<key>"', s.authorization === `vapid t=${s.jwt}, k=${s.vapid_public}`);
}

let failed = 0;
for (const [name, results] of Object.entries(checks)) {
  const good = results.filter(Boolean).length;
  const ok = good === results.length;
  if (!ok) failed++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${name} (${good}/${results.length})`);
}
const total = Object.keys(checks).length;
console.log(`${total - failed}/${total} checks passed over ${samples.length} samples (http_ece ${require('http_ece/package.json').version}, node ${process.version})`);
process.exit(failed ? 1 : 0);
JS
