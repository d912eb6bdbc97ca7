#!/usr/bin/env python3
# A hostile client on a shared broker, for docs/performance.md: raw MQTT
# 3.1.1 over a socket, no library.
#   mqtt_flood.py PORT topics N   N commands, each on a distinct 16 KiB topic
#                                 for a display that does not exist (node m)
#   mqtt_flood.py PORT big        one 200 MiB publish on a command topic
import os
import socket
import struct
import sys

def enc_len(n):
    out=b''
    while True:
        d=n%128; n//=128
        if n: d|=0x80
        out+=bytes([d])
        if not n: return out
def s(b): return struct.pack('>H',len(b))+b
port=int(sys.argv[1]); mode=sys.argv[2]
c=socket.create_connection(('127.0.0.1',port))
vh=s(b'MQTT')+bytes([4,2])+struct.pack('>H',60)
pl=s(b'flood%d'%os.getpid())
body=vh+pl
c.sendall(bytes([0x10])+enc_len(len(body))+body); c.recv(4)
def pub(topic,payload):
    body=s(topic)+payload
    c.sendall(bytes([0x30])+enc_len(len(body))+body)
if mode=='topics':
    n=int(sys.argv[3])
    for i in range(n):
        t=b'brightness/m/'+(b'%08d'%i)+b'x'*16384+b'/set'
        pub(t,b'{"brightness":5}')
elif mode=='big':
    pub(b'brightness/m/x/set', b'{' + b' '*(200*1024*1024) + b'}')
c.close()
