#!/usr/bin/env node
// The file server of the station's transfers over HTTPS: downloads from
// --files and PUT uploads into --uploads, with a certificate of a test CA.
// The first part of a download's path picks how it is served, so one server
// plays every case:
//   /ok/NAME     the file at once
//   /slow/NAME   the file in 1 KiB pieces, one every 200 ms
//   /stall/NAME  the first 1 KiB, then nothing while the connection stays open
//   /fail/NAME   500 Internal Server Error
// Each request is one JSON line in --log ({"t", "method", "path", "status",
// "bytes"}); the port is printed as {"event":"listening","port":P}.
//   https-server.js --cert C --key K --files DIR --uploads DIR --log FILE [--port P]
'use strict';
const fs = require('fs');
const https = require('https');
const path = require('path');

const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const started = Date.now();
const log = (o) => fs.appendFileSync(args.log, JSON.stringify({t: Date.now() - started, ...o}) + '\n');
// A name of a folder's own files only: no separators, no dot names.
const safeName = (n) => /^[A-Za-z0-9._-]+$/.test(n) && n !== '.' && n !== '..' ? n : null;

const server = https.createServer({cert: fs.readFileSync(args.cert), key: fs.readFileSync(args.key)}, (req, res) => {
    const parts = decodeURIComponent(new URL(req.url, 'https://x').pathname).split('/').filter(Boolean);
    const done = (status, bytes) => log({method: req.method, path: req.url, status, bytes});
    if (req.method === 'PUT') {
        const name = safeName(parts[parts.length - 1] || '');
        if (!name) { res.writeHead(400).end(); return done(400, 0); }
        const chunks = [];
        req.on('data', (c) => chunks.push(c));
        req.on('end', () => {
            const body = Buffer.concat(chunks);
            fs.writeFileSync(path.join(args.uploads, name), body);
            res.writeHead(201).end();
            done(201, body.length);
        });
        return;
    }
    const mode = parts[0];
    const name = safeName(parts[parts.length - 1] || '');
    const file = name && path.join(args.files, name);
    if (req.method !== 'GET' || !file || !fs.existsSync(file)) { res.writeHead(404).end(); return done(404, 0); }
    const data = fs.readFileSync(file);
    if (mode === 'fail') { res.writeHead(500).end(); return done(500, 0); }
    res.writeHead(200, {'Content-Length': data.length, 'Content-Type': 'application/octet-stream'});
    if (mode === 'ok') { res.end(data); return done(200, data.length); }
    if (mode === 'stall') { res.write(data.subarray(0, 1024)); return done(200, Math.min(1024, data.length)); }
    if (mode === 'slow') {
        let at = 0;
        const next = () => {
            if (res.destroyed) return done(200, at);
            const piece = data.subarray(at, at + 1024);
            at += piece.length;
            if (at >= data.length) { res.end(piece); return done(200, at); }
            res.write(piece);
            setTimeout(next, 200);
        };
        return next();
    }
    res.writeHead(404).end();
    done(404, 0);
});
server.listen(Number(args.port || 0), '127.0.0.1', () => {
    log({event: 'listening', port: server.address().port});
});
